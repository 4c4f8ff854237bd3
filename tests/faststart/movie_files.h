// Small QuickTime files built byte by byte, their top-level atoms read back,
// and the one way these tests call the faststart conversion.
#pragma once

#include "boxes/boxes.h"
#include "common/writer_kit.h"
#include "common/writer_log.h"
#include "faststart/faststart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void put_be32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}
inline void set_be32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}
inline void put_be64(Bytes& b, uint64_t v) { put_be32(b, uint32_t(v >> 32)), put_be32(b, uint32_t(v)); }
inline uint32_t get_be32(const Bytes& b, uint64_t at) {
    return uint32_t(b.at(at)) << 24 | uint32_t(b.at(at + 1)) << 16 | uint32_t(b.at(at + 2)) << 8 | b.at(at + 3);
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// `wide`: the size-1 form with a 64-bit size after the type. Written into a
// vector sized once (GCC 12 at -O3 misreads growing ones as overflows).
inline Bytes atom(const char* type, const Bytes& payload, bool wide = false) {
    const size_t header = wide ? 16 : 8;
    const uint64_t size = header + payload.size();
    Bytes b(header + payload.size());
    set_be32(b, 0, wide ? 1 : uint32_t(size));
    for (int i = 0; i < 4; ++i) b[size_t(4 + i)] = uint8_t(type[i]);
    if (wide) set_be32(b, 8, uint32_t(size >> 32)), set_be32(b, 12, uint32_t(size));
    std::copy(payload.begin(), payload.end(), b.begin() + std::ptrdiff_t(header));
    return b;
}

// A chunk-offset table: co64 when `wide`.
inline Bytes offsets(const std::vector<uint64_t>& entries, bool wide = false) {
    Bytes payload(4, 0);
    put_be32(payload, uint32_t(entries.size()));
    for (uint64_t o : entries) wide ? put_be64(payload, o) : put_be32(payload, uint32_t(o));
    return atom(wide ? "co64" : "stco", payload);
}

inline Bytes ftyp() { return atom("ftyp", {'q', 't', ' ', ' ', 0, 0, 2, 0, 'q', 't', ' ', ' '}); }

// One track whose sample table holds `table`.
inline Bytes trak(const Bytes& table) {
    const Bytes stsz = atom("stsz", Bytes(12, 0));
    return atom("trak", atom("mdia", atom("minf", atom("stbl", cat({stsz, table, atom("stsc", Bytes(8, 0))})))));
}

inline Bytes moov(std::initializer_list<Bytes> traks) {
    Bytes payload = atom("mvhd", Bytes(100, 0));
    for (const Bytes& t : traks) payload.insert(payload.end(), t.begin(), t.end());
    return atom("moov", payload);
}

// Every byte differs from its neighbours, so a shifted copy cannot pass for the original.
inline Bytes media(size_t size, uint32_t seed = 1) {
    Bytes b(size);
    for (auto& c : b) c = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    return b;
}

struct TopAtom {
    std::string type;
    uint64_t offset, size;
};

// The top-level atoms, the last one too when its size does not fit the file.
inline std::vector<TopAtom> top_level(const Bytes& file) {
    const boxes::TopLevel top = boxes::read_top_level(file.data(), file.size());
    std::vector<boxes::FileBox> found = top.boxes;
    if (top.end == boxes::TopLevel::End::DoesNotFit && top.misfit.fit != boxes::Fit::CutHeader)
        found.push_back(top.misfit);
    std::vector<TopAtom> atoms;
    for (const boxes::FileBox& box : found) {
        const char name[4] = {char(box.type >> 24), char(box.type >> 16), char(box.type >> 8), char(box.type)};
        atoms.push_back({std::string(name, 4), box.offset, box.size});
    }
    return atoms;
}

inline std::vector<std::string> types_of(const std::vector<TopAtom>& atoms) {
    std::vector<std::string> types;
    for (const auto& a : atoms) types.push_back(a.type);
    return types;
}

inline void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
}

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Messages are cleared first, then kept.
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
