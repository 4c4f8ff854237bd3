// The faststart conversion on small files built byte by byte.
#include "movie_files.h"

#include "base/log.h"

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string PATCH_STCO = "QelFFmpegWriter: faststart conversion: patching stco atom...";
const std::string PATCH_CO64 = "QelFFmpegWriter: faststart conversion: patching co64 atom...";
const std::string BAD_SIZE = "QelFFmpegWriter: faststart conversion: bad atom size!";
const std::string NOT_LAST = "QelFFmpegWriter: last atom in file was not a moov atom. File <%s>";
const std::string CMOV = "QelFFmpegWriter: faststart conversion does not support compressed moov atoms!";

class Faststart : public testing::Test {
protected:
    TempDir dir;
    std::string in = dir / "in.mov";
    std::string out = dir / "out.mov";
};

// A movie as a muxer or another writer leaves it. With an index, the input
// is `head` then index(0), the output `lead`, index(its own size), `rest`;
// without one, `head` is the whole input and it is refused.
struct Shape {
    const char* name;
    Bytes head;
    std::function<Bytes(uint64_t)> index;
    Bytes lead, rest;
    std::vector<std::string> messages;  // in all; "%s" stands for the input's name
};

Bytes raw_table(const char* type, uint32_t size, uint32_t count, size_t entryBytes) {
    Bytes b(16 + entryBytes);  // sized once, as atom() is
    set_be32(b, 0, size);
    for (int i = 0; i < 4; ++i) b[size_t(4 + i)] = uint8_t(type[i]);
    set_be32(b, 12, count);
    return b;
}

std::vector<Shape> shapes() {
    const Bytes mdat = atom("mdat", media(500)), mdat16 = atom("mdat", media(16)), mdat3000 = atom("mdat", media(3000));
    const Bytes free = atom("free", Bytes(8, 0)), wide = atom("mdat", media(500), true), first = atom("free", media(20, 7));
    const Bytes iso = atom("ftyp", {'i', 's', 'o', 'm', 0, 0, 0, 1});
    const uint64_t d3 = ftyp().size() + free.size() + 8, d64 = ftyp().size() + 16 + 8;
    const uint64_t dLead = first.size() + ftyp().size() + 8, dIso = iso.size() + ftyp().size() + 8;
    // The largest 32-bit entry once moved, and one past it, which would wrap to the file's start.
    const uint64_t top = UINT32_MAX - moov({trak(offsets({0, 0}))}).size();
    const Bytes index = moov({trak(offsets({40, 60}))});
    Bytes cutShort = cat({ftyp(), mdat, index}), hugeMoov = cutShort;
    cutShort.resize(cutShort.size() - 10);
    hugeMoov[ftyp().size() + mdat.size()] = 0x7f;
    // The table's bytes inside an atom of another type, as the search meets them.
    const auto wrap = [&](const Bytes& table) {
        return cat({ftyp(), mdat, moov({atom("trak", cat({table, atom("stsz", Bytes(64, 0))}))})});
    };
    const Bytes tail = cat({atom("moov", cat({atom("mvhd", Bytes(100, 0)), {0, 0, 0, 0, 's', 't', 'c', 'o', 0, 0, 0, 0}}))});
    // Metadata whose text names the tables, before and after the track.
    const std::string words = "the stco and co64 tables";
    const Bytes title = atom("udta", atom("\xa9nam", Bytes(words.begin(), words.end())));
    const uint64_t dTitle = ftyp().size() + 8;
    using D = uint64_t;
    return {
        {"three_tracks_both_tables", cat({ftyp(), free, mdat3000}), [=](D d) {
             return moov({trak(offsets({d3 + d, d3 + 100 + d, d3 + 1000 + d})),
                          trak(offsets({d3 + 50 + d, d3 + 2000 + d, 0x123456789Aull + d}, true)),
                          trak(offsets({d3 + 2999 + d}))});
         }, ftyp(), cat({free, mdat3000}), {PATCH_STCO, PATCH_CO64, PATCH_STCO}},
        {"metadata_naming_the_tables", cat({ftyp(), mdat}), [=](D d) {
             return atom("moov", cat({atom("mvhd", Bytes(100, 0)), title, trak(offsets({dTitle + d, dTitle + 9 + d})),
                                      atom("meta", cat({Bytes(4, 0), title}))}));
         }, ftyp(), mdat, {PATCH_STCO}},
        {"mdat_64bit_size", cat({ftyp(), atom("wide", {}), wide}),
         [=](D d) { return moov({trak(offsets({d64 + d, d64 + 392 + d}))}); }, ftyp(), cat({atom("wide", {}), wide}),
         {PATCH_STCO}},
        {"no_ftyp", mdat, [](D d) { return moov({trak(offsets({8 + d, 9 + d, 499 + d}))}); }, {}, mdat, {PATCH_STCO}},
        {"moov_right_after_ftyp", ftyp(), [](D) { return moov({trak(offsets({}))}); }, ftyp(), {}, {PATCH_STCO}},
        {"bytes_before_ftyp_kept", cat({first, ftyp(), mdat}),
         [=](D d) { return moov({trak(offsets({dLead + d, dLead + 300 + d}))}); }, ftyp(), cat({first, mdat}),
         {PATCH_STCO}},
        {"last_of_two_ftyp_leads", cat({iso, ftyp(), mdat}),
         [=](D d) { return moov({trak(offsets({dIso + d, dIso + 10 + d}))}); }, ftyp(), cat({iso, mdat}), {PATCH_STCO}},
        {"stco_entry_moved_to_2^32-1", cat({ftyp(), mdat16}), [=](D d) { return moov({trak(offsets({40 + d, top + d}))}); },
         ftyp(), mdat16, {PATCH_STCO}},
        {"empty_file", {}, nullptr, {}, {}, {NOT_LAST}},
        {"moov_already_in_front", cat({ftyp(), index, mdat}), nullptr, {}, {}, {NOT_LAST}},
        {"unknown_top_level_atom", cat({ftyp(), atom("abcd", {}), mdat, index}), nullptr, {}, {},
         {"QelFFmpegWriter: encountered non-QT top-level atom (is this a QuickTime file?). File <%s>", NOT_LAST}},
        {"compressed_moov", cat({ftyp(), mdat, atom("moov", atom("cmov", Bytes(32, 0)))}), nullptr, {}, {}, {CMOV}},
        {"stco_shorter_than_its_header", wrap(raw_table("stco", 8, 0, 8)), nullptr, {}, {}, {PATCH_STCO, BAD_SIZE}},
        {"stco_in_the_last_bytes_of_moov", cat({ftyp(), mdat, tail}), nullptr, {}, {}, {PATCH_STCO, BAD_SIZE}},
        {"entry_count_past_moov", wrap(raw_table("stco", 16, 0xFFFFFFFF, 0)), nullptr, {}, {}, {PATCH_STCO, BAD_SIZE}},
        {"entries_past_their_table", wrap(raw_table("stco", 20, 3, 4)), nullptr, {}, {}, {PATCH_STCO, BAD_SIZE}},
        {"table_past_moov", wrap(raw_table("co64", 4000, 0, 0)), nullptr, {}, {}, {BAD_SIZE}},
        {"stco_entry_that_would_wrap", cat({ftyp(), mdat16, moov({trak(offsets({40, top + 1}))})}), nullptr, {}, {},
         {PATCH_STCO, BAD_SIZE}},
        {"co64_entry_that_would_wrap", cat({ftyp(), mdat, moov({trak(offsets({UINT64_MAX - 3}, true))})}), nullptr, {},
         {}, {PATCH_CO64, BAD_SIZE}},
        {"bytes_after_moov", cat({ftyp(), mdat, index, {0, 0, 0}}), nullptr, {}, {}, {BAD_SIZE}},
        {"moov_cut_short", cutShort, nullptr, {}, {}, {BAD_SIZE}},
        {"moov_larger_than_the_file", hugeMoov, nullptr, {}, {}, {"QelFFmpegWriter: seek error, file <%s>"}},
    };
}

TEST_F(Faststart, MovesMoovInFrontShiftingEveryTableOrRefusesWithoutOutput) {
    for (const Shape& s : shapes()) {
        SCOPED_TRACE(s.name);
        const Bytes file = s.index ? cat({s.head, s.index(0)}) : s.head;
        write_file(in, file);
        EXPECT_EQ(convert_movie(in, out), bool(s.index));
        std::vector<std::string> messages = s.messages;
        for (std::string& m : messages)
            if (const auto at = m.find("%s"); at != std::string::npos) m.replace(at, 2, in);
        std::vector<std::string> all;
        for (const LoggedMessage& m : kept_messages()) all.push_back(m.text);
        EXPECT_EQ(all, messages);
        const Bytes expected = s.index ? cat({s.lead, s.index(s.index(0).size()), s.rest}) : Bytes{};
        EXPECT_EQ(file_exists(out), bool(s.index));
        EXPECT_EQ(read_file(out), expected);
        EXPECT_EQ(read_file(in), file) << "the input is only read";
        std::remove(out.c_str());
    }
}

TEST_F(Faststart, RefusesNamesItCannotUse) {
    const Bytes file = cat({ftyp(), atom("mdat", media(100)), moov({trak(offsets({40}))})});
    write_file(in, file);
    const std::string link = dir / "link.mov", missing = dir / "missing.mov", folder = dir / "no/such/folder/out.mov";
    ASSERT_EQ(::link(in.c_str(), link.c_str()), 0);
    const std::string differ = "QelFFmpegWriter: faststart-conversion: input and output files need to be different!";
    const struct { std::string in, out, message; } cases[] = {
        // The same file under any name: creating the output would truncate the input.
        {in, in, differ},
        {in, dir.path() + "/./in.mov", differ},
        {in, link, differ},
        {missing, out, "QelFFmpegWriter: faststart-conversion: failed to open file <" + missing + ">"},
        {in, folder, "QelFFmpegWriter: faststart-conversion: failed to create file <" + folder + ">"},
        // A folder reads as empty.
        {dir.path(), out, "QelFFmpegWriter: last atom in file was not a moov atom. File <" + dir.path() + ">"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in + " -> " + c.out);
        EXPECT_FALSE(convert_movie(c.in, c.out));
        EXPECT_EQ(messages_at_least(LOG_WARNING), std::vector<std::string>{c.message});
        EXPECT_EQ(read_file(in), file);
    }
    EXPECT_FALSE(file_exists(out));
}

// A write that fails half way (the disk fills up) must not leave a truncated
// movie under the output name.
TEST_F(Faststart, FailedWriteRemovesThePartialOutput) {
    const Bytes file = cat({ftyp(), atom("mdat", media(1 << 20)), moov({trak(offsets({40}))})});
    write_file(in, file);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 << 10, 64 << 10};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool ok = convert_movie(in, out);
        const bool told = count_logged("QelFFmpegWriter: error writing to file <" + out + ">") == 1;
        _exit(!ok && told && !file_exists(out) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(in), file);
}

// Files past 4 GiB, written sparse so that the test stays cheap: the scan and
// the seek to moov work at 64 bits; the refusals come only after moov was read.
TEST_F(Faststart, MoovBeyondFourGigabytes) {
    const uint64_t mdatSize = (5ull << 30) + 16;
    Bytes head = cat({ftyp(), {0, 0, 0, 1, 'm', 'd', 'a', 't'}});
    put_be64(head, mdatSize);
    // A 32-bit table cannot reach past 4 GiB; its entries near the limit overflow once moved.
    const std::pair<Bytes, std::string> cases[] = {{atom("moov", atom("cmov", Bytes(16, 0))), CMOV},
                                                   {moov({trak(offsets({UINT32_MAX - 20}))}), BAD_SIZE}};
    for (const auto& [index, message] : cases) {
        FILE* f = std::fopen(in.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(head.data(), 1, head.size(), f);
        ASSERT_EQ(fseeko(f, off_t(ftyp().size() + mdatSize), SEEK_SET), 0);
        std::fwrite(index.data(), 1, index.size(), f);
        ASSERT_EQ(std::fclose(f), 0);
        EXPECT_FALSE(convert_movie(in, out));
        EXPECT_EQ(messages_at_least(LOG_WARNING), std::vector<std::string>{message});
        EXPECT_FALSE(file_exists(out));
    }
}

}  // namespace
