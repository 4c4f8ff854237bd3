// The faststart conversion on small files built byte by byte.
#include "movie_files.h"

#include "base/log.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Faststart : public testing::Test {
protected:
    bool convert(const Bytes& file) {
        write_file(in, file);
        return writer.fastStartConvert(in.c_str(), out.c_str());
    }

    // The output holds ftyp, the patched moov, then `rest` of the input; every
    // chunk offset grew by the moov size and still points at the same bytes.
    void expect_converted(const Bytes& input, const Bytes& ftypAtom, const Bytes& rest) {
        const Bytes result = read_file(out);
        ASSERT_EQ(result.size(), input.size());
        const auto inputAtoms = top_level(input);
        const uint64_t moovSize = inputAtoms.back().size;
        ASSERT_EQ(inputAtoms.back().type, "moov");
        EXPECT_TRUE(std::equal(ftypAtom.begin(), ftypAtom.end(), result.begin()));
        const auto outAtoms = top_level(result);
        ASSERT_GE(outAtoms.size(), 1u + !ftypAtom.empty());
        EXPECT_EQ(outAtoms[ftypAtom.empty() ? 0 : 1].type, "moov");
        EXPECT_TRUE(std::equal(rest.begin(), rest.end(), result.begin() + long(ftypAtom.size() + moovSize)));

        const auto before = chunk_offsets(input);
        const auto after = chunk_offsets(result);
        ASSERT_EQ(after.size(), before.size());
        for (size_t n = 0; n < before.size(); ++n) {
            EXPECT_EQ(after[n], before[n] + moovSize) << "entry " << n;
            if (before[n] < input.size()) {
                EXPECT_EQ(result.at(after[n]), input.at(before[n])) << "entry " << n;
            }
        }
        EXPECT_TRUE(messages_at_least(LOG_WARNING).empty());
    }

    TempDir dir;
    RecordingWriter writer;
    std::string in = dir / "in.mov";
    std::string out = dir / "out.mov";
};

TEST_F(Faststart, MovesMoovAfterFtypAndShiftsEveryTableOnce) {
    const Bytes head = cat({ftyp(), atom("free", Bytes(8, 0))});
    const uint32_t data = uint32_t(head.size() + 8);
    const Bytes mdat = atom("mdat", media(3000));
    const Bytes index = moov({trak(stco({data, data + 100, data + 1000})),
                              trak(co64({data + 50, data + 2000, 0x123456789Aull})), trak(stco({data + 2999}))});
    const Bytes file = cat({head, mdat, index});

    ASSERT_TRUE(convert(file));
    expect_converted(file, ftyp(), cat({atom("free", Bytes(8, 0)), mdat}));
    EXPECT_EQ(types_of(top_level(read_file(out))), (std::vector<std::string>{"ftyp", "moov", "free", "mdat"}));
    EXPECT_EQ(count_logged("QelFFmpegWriter: faststart conversion: patching stco atom..."), 2);
    EXPECT_EQ(count_logged("QelFFmpegWriter: faststart conversion: patching co64 atom..."), 1);
    const Bytes input = read_file(in);
    EXPECT_EQ(input, file) << "the input is only read";
}

TEST_F(Faststart, LayoutsTheMuxerAndOtherWritersProduce) {
    const Bytes mdat = atom("mdat", media(500));
    {
        SCOPED_TRACE("64-bit mdat size");
        const Bytes big = atom64("mdat", media(500));
        const uint32_t data = uint32_t(ftyp().size() + 16);
        const Bytes file = cat({ftyp(), atom("wide", {}), big, moov({trak(stco({data + 8, data + 400}))})});
        ASSERT_TRUE(convert(file));
        expect_converted(file, ftyp(), cat({atom("wide", {}), big}));
    }
    {
        SCOPED_TRACE("no ftyp: the output starts with moov, then the whole input before it");
        const Bytes file = cat({mdat, moov({trak(stco({8, 9, 499}))})});
        ASSERT_TRUE(convert(file));
        expect_converted(file, {}, mdat);
    }
    {
        SCOPED_TRACE("moov right after ftyp: nothing to copy");
        const Bytes file = cat({ftyp(), moov({trak(stco({}))})});
        ASSERT_TRUE(convert(file));
        EXPECT_EQ(read_file(out), file);
    }
    {
        SCOPED_TRACE("bytes before ftyp are kept and land where the offsets expect them");
        const Bytes lead = atom("free", media(20, 7));
        const uint32_t data = uint32_t(lead.size() + ftyp().size() + 8);
        const Bytes file = cat({lead, ftyp(), mdat, moov({trak(stco({data, data + 300}))})});
        ASSERT_TRUE(convert(file));
        expect_converted(file, ftyp(), cat({lead, mdat}));
    }
    {
        SCOPED_TRACE("of two ftyp atoms the last one leads the output");
        const Bytes first = atom("ftyp", {'i', 's', 'o', 'm', 0, 0, 0, 1});
        const uint32_t data = uint32_t(first.size() + ftyp().size() + 8);
        const Bytes file = cat({first, ftyp(), mdat, moov({trak(stco({data, data + 10}))})});
        ASSERT_TRUE(convert(file));
        expect_converted(file, ftyp(), cat({first, mdat}));
    }
}

TEST_F(Faststart, Stco32BitBoundary) {
    const auto fileWithEntry = [](uint32_t entry) {
        return cat({ftyp(), atom("mdat", media(16)), moov({trak(stco({40, entry}))})});
    };
    const uint32_t moovSize = uint32_t(top_level(fileWithEntry(0)).back().size);

    ASSERT_TRUE(convert(fileWithEntry(UINT32_MAX - moovSize)));
    EXPECT_EQ(chunk_offsets(read_file(out)).back(), UINT32_MAX);
    std::remove(out.c_str());

    // One more and the entry would wrap to the start of the file: the movie
    // must stay as it is rather than point its chunks at the wrong bytes.
    EXPECT_FALSE(convert(fileWithEntry(UINT32_MAX - moovSize + 1)));
    EXPECT_EQ(messages_at_least(LOG_WARNING),
              std::vector<std::string>{"QelFFmpegWriter: faststart conversion: bad atom size!"});
    EXPECT_FALSE(exists(out));
}

struct Refusal {
    const char* name;
    Bytes file;
    std::vector<std::string> messages;  // at warning level and above, "%s" standing for the input's name
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
    const std::string notLast = "QelFFmpegWriter: last atom in file was not a moov atom. File <%s>";
    const std::string badSize = "QelFFmpegWriter: faststart conversion: bad atom size!";
    Bytes trailing = cat({ftyp(), mdat, index, {0, 0, 0}});
    Bytes cutShort = cat({ftyp(), mdat, index});
    cutShort.resize(cutShort.size() - 10);
    Bytes hugeMoov = cat({ftyp(), mdat, index});
    hugeMoov[ftyp().size() + mdat.size()] = 0x7f;
    // The table's bytes stand inside an atom of another type, as the search
    // meets them; its declared size stays within moov.
    const auto wrap = [&](const Bytes& table) {
        return cat({ftyp(), mdat, moov({atom("trak", cat({table, atom("stsz", Bytes(64, 0))}))})});
    };
    return {
        {"empty file", {}, {notLast}},
        {"moov already in front", cat({ftyp(), index, mdat}), {notLast}},
        {"unknown top-level atom",
         cat({ftyp(), atom("abcd", {}), mdat, index}),
         {"QelFFmpegWriter: encountered non-QT top-level atom (is this a QuickTime file?). File <%s>", notLast}},
        {"compressed moov",
         cat({ftyp(), mdat, atom("moov", atom("cmov", Bytes(32, 0)))}),
         {"QelFFmpegWriter: faststart conversion does not support compressed moov atoms!"}},
        {"stco shorter than its header", wrap(raw_table("stco", 8, 0, 8)), {badSize}},
        {"stco in the last bytes of moov",
         cat({ftyp(), mdat, atom("moov", cat({mvhd(), {0, 0, 0, 0, 's', 't', 'c', 'o', 0, 0, 0, 0}}))}),
         {badSize}},
        {"entry count past moov", wrap(raw_table("stco", 16, 0xFFFFFFFF, 0)), {badSize}},
        {"entries past their own table", wrap(raw_table("stco", 20, 3, 4)), {badSize}},
        {"table past moov", wrap(raw_table("co64", 4000, 0, 0)), {badSize}},
        {"co64 entry that would wrap",
         cat({ftyp(), mdat, moov({trak(co64({UINT64_MAX - 3}))})}),
         {badSize}},
        {"bytes after moov", trailing, {badSize}},
        {"moov cut short", cutShort, {badSize}},
        {"moov larger than the file", hugeMoov, {"QelFFmpegWriter: seek error, file <%s>"}},
    };
}

TEST_F(Faststart, RefusesWithoutCreatingOutput) {
    for (const Refusal& r : refusals()) {
        SCOPED_TRACE(r.name);
        clear_messages();
        EXPECT_FALSE(convert(r.file));
        std::vector<std::string> expected;
        for (std::string m : r.messages) {
            const auto at = m.find("%s");
            if (at != std::string::npos) m.replace(at, 2, in);
            expected.push_back(m);
        }
        EXPECT_EQ(messages_at_least(LOG_WARNING), expected);
        EXPECT_FALSE(exists(out));
        EXPECT_EQ(read_file(in), r.file);
    }
}

TEST_F(Faststart, SameFileUnderAnyNameIsRefusedAndKept) {
    const Bytes file = cat({ftyp(), atom("mdat", media(100)), moov({trak(stco({40}))})});
    write_file(in, file);
    const std::string differ = "QelFFmpegWriter: faststart-conversion: input and output files need to be different!";
    const std::string link = dir / "link.mov";
    ASSERT_EQ(::link(in.c_str(), link.c_str()), 0);
    for (const std::string& target : {in, dir.path() + "/./in.mov", link}) {
        SCOPED_TRACE(target);
        clear_messages();
        EXPECT_FALSE(writer.fastStartConvert(in.c_str(), target.c_str()));
        EXPECT_EQ(messages_at_least(LOG_WARNING), std::vector<std::string>{differ});
        EXPECT_EQ(read_file(in), file);
    }
}

TEST_F(Faststart, FilesThatCannotBeOpenedOrCreated) {
    const std::string missing = dir / "missing.mov";
    EXPECT_FALSE(writer.fastStartConvert(missing.c_str(), out.c_str()));
    EXPECT_EQ(messages_at_least(LOG_WARNING),
              std::vector<std::string>{"QelFFmpegWriter: faststart-conversion: failed to open file <" + missing + ">"});
    EXPECT_FALSE(exists(out));

    clear_messages();
    write_file(in, cat({ftyp(), atom("mdat", media(100)), moov({trak(stco({40}))})}));
    const std::string unreachable = dir / "no/such/folder/out.mov";
    EXPECT_FALSE(writer.fastStartConvert(in.c_str(), unreachable.c_str()));
    EXPECT_EQ(messages_at_least(LOG_WARNING),
              std::vector<std::string>{"QelFFmpegWriter: faststart-conversion: failed to create file <" +
                                       unreachable + ">"});

    clear_messages();
    EXPECT_FALSE(writer.fastStartConvert(dir.path().c_str(), out.c_str())) << "a folder is not a movie";
    EXPECT_FALSE(exists(out));
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
        const bool ok = writer.fastStartConvert(in.c_str(), out.c_str());
        const bool told = count_logged("QelFFmpegWriter: error writing to file <" + out + ">") == 1;
        _exit(!ok && told && !exists(out) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(exists(out));
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
    const auto sparse = [&](const Bytes& index) {
        FILE* f = std::fopen(in.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(head.data(), 1, head.size(), f);
        ASSERT_EQ(fseeko(f, off_t(ftyp().size() + mdatSize), SEEK_SET), 0);
        std::fwrite(index.data(), 1, index.size(), f);
        ASSERT_EQ(std::fclose(f), 0);
    };

    sparse(atom("moov", atom("cmov", Bytes(16, 0))));
    EXPECT_FALSE(writer.fastStartConvert(in.c_str(), out.c_str()));
    EXPECT_EQ(messages_at_least(LOG_WARNING),
              std::vector<std::string>{"QelFFmpegWriter: faststart conversion does not support compressed moov atoms!"});

    // A 32-bit table cannot reach past 4 GiB; its entries near the limit
    // overflow once moved.
    clear_messages();
    sparse(moov({trak(stco({UINT32_MAX - 20}))}));
    EXPECT_FALSE(writer.fastStartConvert(in.c_str(), out.c_str()));
    EXPECT_EQ(messages_at_least(LOG_WARNING),
              std::vector<std::string>{"QelFFmpegWriter: faststart conversion: bad atom size!"});
    EXPECT_FALSE(exists(out));
}

}  // namespace
