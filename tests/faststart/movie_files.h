// Building small QuickTime files byte by byte, reading them back, and the
// one way these tests call the faststart conversion.
#pragma once

#include "common/writer_kit.h"
#include "common/writer_log.h"
#include "faststart/faststart.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void put_be32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
inline void put_be64(Bytes& b, uint64_t v) {
    put_be32(b, uint32_t(v >> 32));
    put_be32(b, uint32_t(v));
}
inline uint32_t get_be32(const Bytes& b, uint64_t at) {
    return uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 | b.at(at + 3);
}
inline uint64_t get_be64(const Bytes& b, uint64_t at) { return uint64_t(get_be32(b, at)) << 32 | get_be32(b, at + 4); }

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline Bytes atom(const char* type, const Bytes& payload) {
    Bytes b;
    put_be32(b, uint32_t(8 + payload.size()));
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// The size-1 form with a 64-bit size after the type.
inline Bytes atom64(const char* type, const Bytes& payload) {
    Bytes b;
    put_be32(b, 1);
    b.insert(b.end(), type, type + 4);
    put_be64(b, 16 + payload.size());
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

inline Bytes stco(const std::vector<uint32_t>& offsets) {
    Bytes payload(4, 0);
    put_be32(payload, uint32_t(offsets.size()));
    for (uint32_t o : offsets) put_be32(payload, o);
    return atom("stco", payload);
}

inline Bytes co64(const std::vector<uint64_t>& offsets) {
    Bytes payload(4, 0);
    put_be32(payload, uint32_t(offsets.size()));
    for (uint64_t o : offsets) put_be64(payload, o);
    return atom("co64", payload);
}

inline Bytes ftyp() { return atom("ftyp", {'q', 't', ' ', ' ', 0, 0, 2, 0, 'q', 't', ' ', ' '}); }

inline Bytes mvhd() { return atom("mvhd", Bytes(100, 0)); }

// One track whose sample table holds `table` (an stco or co64 atom).
inline Bytes trak(const Bytes& table) {
    const Bytes stsz = atom("stsz", Bytes(12, 0));
    return atom("trak", atom("mdia", atom("minf", atom("stbl", cat({stsz, table, atom("stsc", Bytes(8, 0))})))));
}

inline Bytes moov(std::initializer_list<Bytes> traks) {
    Bytes payload = mvhd();
    for (const Bytes& t : traks) payload.insert(payload.end(), t.begin(), t.end());
    return atom("moov", payload);
}

// Media bytes whose every position differs from its neighbours', so that a
// shifted copy cannot pass for the original.
inline Bytes media(size_t size, uint32_t seed = 1) {
    Bytes b(size);
    uint32_t x = seed;
    for (auto& c : b) {
        x = x * 1664525u + 1013904223u;
        c = uint8_t(x >> 24);
    }
    return b;
}

struct TopAtom {
    std::string type;
    uint64_t offset;
    uint64_t size;
};

// The top-level atoms, parsed independently of the code under test.
inline std::vector<TopAtom> top_level(const Bytes& file) {
    std::vector<TopAtom> atoms;
    uint64_t at = 0;
    while (at + 8 <= file.size()) {
        uint64_t size = get_be32(file, at);
        if (size == 1) size = get_be64(file, at + 8);
        atoms.push_back({std::string(file.begin() + long(at) + 4, file.begin() + long(at) + 8), at, size});
        if (size < 8) break;
        at += size;
    }
    return atoms;
}

inline std::vector<std::string> types_of(const std::vector<TopAtom>& atoms) {
    std::vector<std::string> types;
    for (const auto& a : atoms) types.push_back(a.type);
    return types;
}

// Visits every chunk-offset entry of every track, walking moov's tree the
// proper way: `visit(position, is64)`.
template <typename Visit>
void for_each_chunk_offset(const Bytes& file, Visit&& visit) {
    const auto walk = [&](auto&& self, uint64_t begin, uint64_t end) -> void {
        for (uint64_t at = begin; at + 8 <= end;) {
            const uint64_t size = get_be32(file, at);
            const std::string type(file.begin() + long(at) + 4, file.begin() + long(at) + 8);
            if (size < 8 || at + size > end) return;
            if (type == "trak" || type == "mdia" || type == "minf" || type == "stbl") self(self, at + 8, at + size);
            if (type == "stco" || type == "co64") {
                const uint32_t count = get_be32(file, at + 12);
                for (uint32_t n = 0; n < count; ++n)
                    visit(type == "stco" ? at + 16 + 4 * n : at + 16 + 8 * n, type == "co64");
            }
            at += size;
        }
    };
    for (const auto& a : top_level(file))
        if (a.type == "moov") walk(walk, a.offset + 8, a.offset + a.size);
}

inline std::vector<uint64_t> chunk_offsets(const Bytes& file) {
    std::vector<uint64_t> offsets;
    for_each_chunk_offset(file, [&](uint64_t at, bool is64) {
        offsets.push_back(is64 ? get_be64(file, at) : get_be32(file, at));
    });
    return offsets;
}

// The file with every chunk offset grown by `delta`: what a moved moov must hold.
inline Bytes shifted(const Bytes& file, uint64_t delta) {
    Bytes out = file;
    for_each_chunk_offset(file, [&](uint64_t at, bool is64) {
        Bytes value;
        if (is64) put_be64(value, get_be64(file, at) + delta);
        else put_be32(value, uint32_t(get_be32(file, at) + delta));
        std::copy(value.begin(), value.end(), out.begin() + long(at));
    });
    return out;
}

inline void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every conversion of these tests goes through here, its messages kept
// (cleared first).
inline bool convert_movie(const std::string& in, const std::string& out) {
    clear_messages();
    return faststart::convert(in.c_str(), out.c_str(), keep_message);
}

// A fresh folder per test, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = testing::TempDir() + "qel_faststart_XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        m_path = pattern;
    }
    ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};
