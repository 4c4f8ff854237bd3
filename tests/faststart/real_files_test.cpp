// The conversion on movies written by FFmpeg's own muxer, checked with
// FFmpeg's decoders and probe.
#include "movie_files.h"

#include <array>
#include <sys/wait.h>

namespace {

struct Result {
    int status;
    std::string output;
};

Result run(const std::string& command) {
    Result r{-1, {}};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) r.output.append(chunk.data(), n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string shell_quoted(const std::string& path) { return "'" + path + "'"; }

// Every decoded video frame and audio packet, with its checksum.
std::string frame_md5(const std::string& path) {
    const Result r = run("ffmpeg -nostdin -v error -i " + shell_quoted(path) + " -map 0:v -map 0:a -f framemd5 -");
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
}

std::string stream_list(const std::string& path) {
    return run("ffprobe -v error -show_entries stream=codec_type:stream_tags=timecode -of csv=p=0 " + shell_quoted(path))
        .output;
}

class RealMovie : public testing::TestWithParam<const char*> {
protected:
    // Video, audio and a timecode track, index at the end as the muxer
    // leaves it without faststart. Large enough that its index is well
    // under 5% of the file.
    void SetUp() override {
        const Result r = run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 "
                             "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 3 -timecode 01:00:00:00 "
                             "-c:v mpeg4 -q:v 2 -c:a aac " +
                             shell_quoted(in));
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_EQ(top_level(read_file(in)).back().type, "moov");
    }

    TempDir dir;
    std::string in = dir / (std::string("in.") + GetParam());
    std::string out = dir / (std::string("out.") + GetParam());
};

TEST_P(RealMovie, DecodesIdenticallyAndPlaysFromItsHead) {
    RecordingWriter writer;
    ASSERT_TRUE(writer.fastStartConvert(in.c_str(), out.c_str()));
    EXPECT_EQ(writer.count("QelFFmpegWriter: faststart conversion: patching stco atom..."), 3) << "one per track";

    EXPECT_EQ(types_of(top_level(read_file(out))).at(1), "moov");
    const std::string streams = stream_list(out);
    EXPECT_EQ(streams, stream_list(in));
    EXPECT_NE(streams.find("data,01:00:00:00"), std::string::npos) << streams;
    EXPECT_EQ(frame_md5(out), frame_md5(in));

    // A player that has only the first 5% of the file already knows every stream.
    const auto head = [&](const std::string& path, const std::string& cut) {
        Bytes bytes = read_file(path);
        bytes.resize(bytes.size() / 20);
        write_file(cut, bytes);
        return run("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 " + shell_quoted(cut));
    };
    const Result converted = head(out, dir / "head_out");
    EXPECT_EQ(converted.status, 0) << converted.output;
    EXPECT_EQ(converted.output, "video\naudio\ndata\n");
    EXPECT_NE(head(in, dir / "head_in").status, 0) << "without faststart the head alone cannot be probed";
}

INSTANTIATE_TEST_SUITE_P(Containers, RealMovie, testing::Values("mov", "mp4"));

TEST(QelhostFaststart, ExitsZeroOnlyWhenTheConversionSucceeded) {
    TempDir dir;
    const std::string qelhost = std::string(QEL_BUILD_DIR) + "/qelhost faststart ";
    const std::string in = dir / "in.mov", out = dir / "out.mov";
    write_file(in, cat({ftyp(), atom("mdat", media(100)), moov({trak(stco({28}))})}));

    const Result ok = run(qelhost + shell_quoted(in) + " " + shell_quoted(out));
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_NE(ok.output.find("QelFFmpegWriter: faststart conversion: patching stco atom..."), std::string::npos);
    EXPECT_EQ(types_of(top_level(read_file(out))), (std::vector<std::string>{"ftyp", "moov", "mdat"}));

    const Result again = run(qelhost + shell_quoted(out) + " " + shell_quoted(dir / "again.mov"));
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.output.find("QelFFmpegWriter: last atom in file was not a moov atom. File <" + out + ">"),
              std::string::npos)
        << again.output;
    EXPECT_FALSE(exists(dir / "again.mov"));

    EXPECT_NE(run(qelhost + shell_quoted(in)).status, 0) << "both names are needed";
}

}  // namespace
