// The conversion on movies the writer itself leaves with the index at the
// end, checked with FFmpeg's decoders and probe.
#include "movie_files.h"

#include "common/run.h"

#include "writer/FFWriter.h"

#include <vector>

namespace {

std::string shell_quoted(const std::string& path) { return "'" + path + "'"; }

std::string frame_md5(const std::string& path) {
    const CommandResult r = run_command("ffmpeg -nostdin -v error -i " + shell_quoted(path) + " -map 0:v -map 0:a -f framemd5 -");
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
}

class RealMovie : public testing::TestWithParam<const char*> {
protected:
    // Three seconds of video, a stereo tone and a timecode track rendered
    // through the stand-in host with faststart off, so the index stays at the
    // end. Large enough that its index is well under 5% of the file.
    void SetUp() override {
        const CommandResult r = run_command(std::string(QEL_BUILD_DIR) + "/qelhost render --set klavformat=" +
                                            GetParam() + " --set klavvideocodec=mpeg4 --set klavfaststart=off "
                                            "--frames 75 --size 320x240 --fps 25 --timecode 01:00:00:00 -o " +
                                            shell_quoted(in));
        ASSERT_EQ(r.status, 0) << r.out;
        ASSERT_EQ(top_level(read_file(in)).back().type, "moov");
    }

    TempDir dir;
    std::string in = dir / (std::string("in.") + GetParam());
    std::string out = dir / (std::string("out.") + GetParam());
};

TEST_P(RealMovie, DecodesIdenticallyAndPlaysFromItsHead) {
    // Every track is read through its moved offsets: the pictures and the
    // sound decoded, the timecode from its track's one sample.
    ASSERT_TRUE(convert_movie(in, out));

    EXPECT_EQ(types_of(top_level(read_file(out))).at(1), "moov");
    const auto streams = [](const std::string& path) {
        return probe_streams("-show_entries stream=codec_type:stream_tags=timecode " + shell_quoted(path)).out;
    };
    EXPECT_EQ(streams(out), streams(in));
    EXPECT_NE(streams(out).find("data,01:00:00:00"), std::string::npos) << streams(out);
    EXPECT_EQ(frame_md5(out), frame_md5(in));

    // A player that has only the first 5% of the file already knows every stream.
    const auto head = [&](const std::string& path, const std::string& cut) {
        Bytes bytes = read_file(path);
        bytes.resize(bytes.size() / 20);
        write_file(cut, bytes);
        return probe_streams("-show_entries stream=codec_type " + shell_quoted(cut));
    };
    const CommandResult converted = head(out, dir / "head_out");
    EXPECT_EQ(converted.status, 0) << converted.out;
    EXPECT_EQ(converted.out, "audio\nvideo\ndata\n") << "the writer puts audio first";
    EXPECT_NE(head(in, dir / "head_in").status, 0) << "without faststart the head alone cannot be probed";
}

INSTANTIATE_TEST_SUITE_P(Containers, RealMovie, testing::Values("mov", "mp4"));

TEST(QelFaststart, ExitsZeroOnlyWhenTheConversionSucceeded) {
    TempDir dir;
    const std::string qelhost = std::string(QEL_BUILD_DIR) + "/qelfaststart ";
    const std::string in = dir / "in.mov", out = dir / "out.mov";
    write_file(in, cat({ftyp(), atom("mdat", media(100)), moov({trak(offsets({28}))})}));

    const CommandResult ok = run_command(qelhost + shell_quoted(in) + " " + shell_quoted(out));
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_EQ(types_of(top_level(read_file(out))), (std::vector<std::string>{"ftyp", "moov", "mdat"}));

    const CommandResult again = run_command(qelhost + shell_quoted(out) + " " + shell_quoted(dir / "again.mov"));
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("QelFFmpegWriter: last atom in file was not a moov atom. File <" + out + ">"),
              std::string::npos)
        << again.out;
    EXPECT_FALSE(file_exists(dir / "again.mov"));

    EXPECT_NE(run_command(qelhost + shell_quoted(in)).status, 0) << "both names are needed";
}

}  // namespace
