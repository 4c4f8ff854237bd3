// The conversion on movies the writer itself leaves with the index at the
// end, checked with FFmpeg's decoders and probe.
#include "movie_files.h"

#include "common/run.h"

#include "writer/FFWriter.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include <cmath>
#include <vector>

namespace {

std::string shell_quoted(const std::string& path) { return "'" + path + "'"; }

// Every decoded video frame and audio packet, with its checksum.
std::string frame_md5(const std::string& path) {
    const CommandResult r = run_command("ffmpeg -nostdin -v error -i " + shell_quoted(path) + " -map 0:v -map 0:a -f framemd5 -");
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
}

std::string stream_list(const std::string& path) {
    return probe_streams("-show_entries stream=codec_type:stream_tags=timecode " + shell_quoted(path)).out;
}

// Three seconds of a moving 16-bit picture and a stereo tone through the
// writer, faststart off so the index stays at the end.
void write_movie(const std::string& path, const char* container) {
    constexpr int width = 320, height = 240, fps = 25, rate = 48000, frames = 3 * fps;
    WriterSettings settings = video_settings(container, "mpeg4", width, height, 4);
    settings.audioCodecName = "aac";
    settings.inSampleRate = rate;
    settings.channels = 2;
    settings.inSampleFormat = AV_SAMPLE_FMT_S16;
    settings.outSampleFormat = AV_SAMPLE_FMT_FLTP;
    settings.videoBitRate = 4000000;
    settings.vbr = 1;

    FFWriter writer;
    ASSERT_TRUE(writer.open(path.c_str(), &settings));
    std::vector<int16_t> sound(size_t(rate / fps) * 2);
    for (int frame = 0; frame < frames; ++frame) {
        for (size_t i = 0; i < sound.size() / 2; ++i) {
            const double t = double(size_t(frame) * (rate / fps) + i) / rate;
            sound[2 * i] = int16_t(8000 * std::sin(2 * M_PI * 440 * t));
            sound[2 * i + 1] = int16_t(8000 * std::sin(2 * M_PI * 660 * t));
        }
        const std::vector<uint16_t> picture = host_picture(width, height, 4, frame);
        ASSERT_TRUE(writer.writeAudio(sound.data(), int64_t(sound.size() * sizeof(int16_t))));
        ASSERT_TRUE(writer.writeVideoFrame(picture.data(), nullptr, 0, frame == 0, "01:00:00:00"));
    }
    ASSERT_TRUE(writer.close());
}

class RealMovie : public testing::TestWithParam<const char*> {
protected:
    // Video, audio and a timecode track, written by the module, index at the
    // end. Large enough that its index is well under 5% of the file.
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(write_movie(in, GetParam()));
        ASSERT_EQ(top_level(read_file(in)).back().type, "moov");
    }

    TempDir dir;
    std::string in = dir / (std::string("in.") + GetParam());
    std::string out = dir / (std::string("out.") + GetParam());
};

TEST_P(RealMovie, DecodesIdenticallyAndPlaysFromItsHead) {
    ASSERT_TRUE(convert_movie(in, out));
    EXPECT_EQ(count_logged("QelFFmpegWriter: faststart conversion: patching stco atom..."), 3) << "one per track";

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
        return probe_streams("-show_entries stream=codec_type " + shell_quoted(cut));
    };
    const CommandResult converted = head(out, dir / "head_out");
    EXPECT_EQ(converted.status, 0) << converted.out;
    EXPECT_EQ(converted.out, "audio\nvideo\ndata\n") << "the writer puts audio first";
    EXPECT_NE(head(in, dir / "head_in").status, 0) << "without faststart the head alone cannot be probed";
}

INSTANTIATE_TEST_SUITE_P(Containers, RealMovie, testing::Values("mov", "mp4"));

TEST(QelhostFaststart, ExitsZeroOnlyWhenTheConversionSucceeded) {
    TempDir dir;
    const std::string qelhost = std::string(QEL_BUILD_DIR) + "/qelhost faststart ";
    const std::string in = dir / "in.mov", out = dir / "out.mov";
    write_file(in, cat({ftyp(), atom("mdat", media(100)), moov({trak(stco({28}))})}));

    const CommandResult ok = run_command(qelhost + shell_quoted(in) + " " + shell_quoted(out));
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ok.out.find("QelFFmpegWriter: faststart conversion: patching stco atom..."), std::string::npos);
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
