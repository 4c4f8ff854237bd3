// The faststart conversion on small files built byte by byte.
#include "movie_files.h"

#include "base/log.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string PATCH_STCO = "QelFFmpegWriter: faststart conversion: patching stco atom...";
const std::string PATCH_CO64 = "QelFFmpegWriter: faststart conversion: patching co64 atom...";
const std::string BAD_SIZE = "QelFFmpegWriter: faststart conversion: bad atom size!";
const std::string NOT_LAST = "QelFFmpegWriter: last atom in file was not a moov atom. File <%s>";

class Faststart : public testing::Test {
protected:
    bool convert(const Bytes& file) {
        write_file(in, file);
        return convert_movie(in, out);
    }
    // "%s" stands for the input's name.
    std::vector<std::string> named(std::vector<std::string> messages) const {
        for (std::string& m : messages)
            if (const auto at = m.find("%s"); at != std::string::npos) m.replace(at, 2, in);
        return messages;
    }

    TempDir dir;
    std::string in = dir / "in.mov";
    std::string out = dir / "out.mov";
};

// A layout the muxer or another writer leaves: the output is `lead`, the
// moov with every chunk offset grown by its size, then `rest`.
struct Layout {
    const char* name;
    Bytes file, lead, rest;
    int stco, co64;  // tables patched
};

std::vector<Layout> layouts() {
    const Bytes mdat = atom("mdat", media(500));
    std::vector<Layout> all;
    {
        const Bytes free = atom("free", Bytes(8, 0)), mdat3000 = atom("mdat", media(3000));
        const uint32_t data = uint32_t(ftyp().size() + free.size() + 8);
        const Bytes index = moov({trak(stco({data, data + 100, data + 1000})),
                                  trak(co64({data + 50, data + 2000, 0x123456789Aull})), trak(stco({data + 2999}))});
        all.push_back({"three tracks, both table kinds", cat({ftyp(), free, mdat3000, index}), ftyp(),
                       cat({free, mdat3000}), 2, 1});
    }
    {
        const Bytes big = atom64("mdat", media(500));
        const uint32_t data = uint32_t(ftyp().size() + 16);
        all.push_back({"64-bit mdat size",
                       cat({ftyp(), atom("wide", {}), big, moov({trak(stco({data + 8, data + 400}))})}), ftyp(),
                       cat({atom("wide", {}), big}), 1, 0});
    }
    all.push_back({"no ftyp: moov first, then all before it", cat({mdat, moov({trak(stco({8, 9, 499}))})}), {}, mdat,
                   1, 0});
    all.push_back({"moov right after ftyp", cat({ftyp(), moov({trak(stco({}))})}), ftyp(), {}, 1, 0});
    {
        const Bytes lead = atom("free", media(20, 7));
        const uint32_t data = uint32_t(lead.size() + ftyp().size() + 8);
        all.push_back({"bytes before ftyp are kept", cat({lead, ftyp(), mdat, moov({trak(stco({data, data + 300}))})}),
                       ftyp(), cat({lead, mdat}), 1, 0});
    }
    {
        const Bytes first = atom("ftyp", {'i', 's', 'o', 'm', 0, 0, 0, 1});
        const uint32_t data = uint32_t(first.size() + ftyp().size() + 8);
        all.push_back({"of two ftyp the last leads", cat({first, ftyp(), mdat, moov({trak(stco({data, data + 10}))})}),
                       ftyp(), cat({first, mdat}), 1, 0});
    }
    {
        // The largest entry a 32-bit table can take once moved.
        const uint32_t moovSize = uint32_t(moov({trak(stco({0, 0}))}).size());
        const Bytes mdat16 = atom("mdat", media(16));
        all.push_back({"stco entry moved to 2^32-1",
                       cat({ftyp(), mdat16, moov({trak(stco({40, UINT32_MAX - moovSize}))})}), ftyp(), mdat16, 1, 0});
    }
    return all;
}

TEST_F(Faststart, MovesMoovInFrontAndShiftsEveryTableOnce) {
    for (const Layout& c : layouts()) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(convert(c.file));
        const Bytes index(c.file.end() - long(top_level(c.file).back().size), c.file.end());
        ASSERT_EQ(top_level(index).at(0).type, "moov");
        EXPECT_EQ(read_file(out), cat({c.lead, shifted(index, index.size()), c.rest}));
        // Every moved entry still points at the bytes it pointed at.
        const Bytes result = read_file(out);
        const auto before = chunk_offsets(c.file), after = chunk_offsets(result);
        ASSERT_EQ(after.size(), before.size());
        for (size_t n = 0; n < before.size(); ++n) {
            if (before[n] < c.file.size()) {
                EXPECT_EQ(result.at(after[n]), c.file.at(before[n])) << "entry " << n;
            }
        }
        EXPECT_EQ(count_logged(PATCH_STCO), c.stco);
        EXPECT_EQ(count_logged(PATCH_CO64), c.co64);
        EXPECT_TRUE(messages_at_least(LOG_WARNING).empty());
        EXPECT_EQ(read_file(in), c.file) << "the input is only read";
    }
}

struct Refusal {
    const char* name;
    Bytes file;
    std::vector<std::string> messages;  // at warning level and above
};

Bytes raw_table(const char* type, uint32_t size, uint32_t count, size_t entryBytes) {
    Bytes b;
    put_be32(b, size);
    b.insert(b.end(), type, type + 4);
    put_be32(b, 0);
    put_be32(b, count);
    b.resize(b.size() + entryBytes);
    return b;
}

std::vector<Refusal> refusals() {
    const Bytes mdat = atom("mdat", media(100));
    const Bytes index = moov({trak(stco({40, 60}))});
    Bytes cutShort = cat({ftyp(), mdat, index});
    cutShort.resize(cutShort.size() - 10);
    Bytes hugeMoov = cat({ftyp(), mdat, index});
    hugeMoov[ftyp().size() + mdat.size()] = 0x7f;
    // The table's bytes stand inside an atom of another type, as the search
    // meets them; its declared size stays within moov.
    const auto wrap = [&](const Bytes& table) {
        return cat({ftyp(), mdat, moov({atom("trak", cat({table, atom("stsz", Bytes(64, 0))}))})});
    };
    // One past the largest entry: it would wrap to the start of the file.
    const uint32_t moovSize = uint32_t(moov({trak(stco({0, 0}))}).size());
    return {
        {"empty file", {}, {NOT_LAST}},
        {"moov already in front", cat({ftyp(), index, mdat}), {NOT_LAST}},
        {"unknown top-level atom",
         cat({ftyp(), atom("abcd", {}), mdat, index}),
         {"QelFFmpegWriter: encountered non-QT top-level atom (is this a QuickTime file?). File <%s>", NOT_LAST}},
        {"compressed moov",
         cat({ftyp(), mdat, atom("moov", atom("cmov", Bytes(32, 0)))}),
         {"QelFFmpegWriter: faststart conversion does not support compressed moov atoms!"}},
        {"stco shorter than its header", wrap(raw_table("stco", 8, 0, 8)), {BAD_SIZE}},
        {"stco in the last bytes of moov",
         cat({ftyp(), mdat, atom("moov", cat({mvhd(), {0, 0, 0, 0, 's', 't', 'c', 'o', 0, 0, 0, 0}}))}),
         {BAD_SIZE}},
        {"entry count past moov", wrap(raw_table("stco", 16, 0xFFFFFFFF, 0)), {BAD_SIZE}},
        {"entries past their own table", wrap(raw_table("stco", 20, 3, 4)), {BAD_SIZE}},
        {"table past moov", wrap(raw_table("co64", 4000, 0, 0)), {BAD_SIZE}},
        {"stco entry that would wrap",
         cat({ftyp(), atom("mdat", media(16)), moov({trak(stco({40, UINT32_MAX - moovSize + 1}))})}),
         {BAD_SIZE}},
        {"co64 entry that would wrap", cat({ftyp(), mdat, moov({trak(co64({UINT64_MAX - 3}))})}), {BAD_SIZE}},
        {"bytes after moov", cat({ftyp(), mdat, index, {0, 0, 0}}), {BAD_SIZE}},
        {"moov cut short", cutShort, {BAD_SIZE}},
        {"moov larger than the file", hugeMoov, {"QelFFmpegWriter: seek error, file <%s>"}},
    };
}

TEST_F(Faststart, RefusesWithoutCreatingOutput) {
    for (const Refusal& r : refusals()) {
        SCOPED_TRACE(r.name);
        EXPECT_FALSE(convert(r.file));
        EXPECT_EQ(messages_at_least(LOG_WARNING), named(r.messages));
        EXPECT_FALSE(file_exists(out));
        EXPECT_EQ(read_file(in), r.file);
    }
}

TEST_F(Faststart, RefusesNamesItCannotUse) {
    const Bytes file = cat({ftyp(), atom("mdat", media(100)), moov({trak(stco({40}))})});
    write_file(in, file);
    const std::string link = dir / "link.mov", missing = dir / "missing.mov", folder = dir / "no/such/folder/out.mov";
    ASSERT_EQ(::link(in.c_str(), link.c_str()), 0);
    const std::string differ = "QelFFmpegWriter: faststart-conversion: input and output files need to be different!";
    const struct {
        std::string in, out, message;
    } cases[] = {
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
    const Bytes file = cat({ftyp(), atom("mdat", media(1 << 20)), moov({trak(stco({40}))})});
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
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(file_exists(out));
    EXPECT_EQ(read_file(in), file);
}

// Files past 4 GiB, written sparse so that the test stays cheap: the scan and
// the seek to moov work at 64 bits; the refusals come only after moov was read.
TEST_F(Faststart, MoovBeyondFourGigabytes) {
    const uint64_t mdatSize = (5ull << 30) + 16;
    Bytes head = ftyp();
    put_be32(head, 1);
    head.insert(head.end(), {'m', 'd', 'a', 't'});
    put_be64(head, mdatSize);
    // A 32-bit table cannot reach past 4 GiB; its entries near the limit overflow once moved.
    const std::pair<Bytes, std::string> cases[] = {
        {atom("moov", atom("cmov", Bytes(16, 0))),
         "QelFFmpegWriter: faststart conversion does not support compressed moov atoms!"},
        {moov({trak(stco({UINT32_MAX - 20}))}), BAD_SIZE},
    };
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
