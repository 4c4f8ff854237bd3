// Options the encoder context receives before it is opened; what reaches the
// file is read back in options_file_test.
#include "options_fixture.h"

#include "base/compat.h"
#include "writer/options.h"

extern "C" {
#include <libavutil/error.h>
}

#include <string>

namespace {

struct Context {
    explicit Context(const char* encoder) : codec(avcodec_find_encoder_by_name(encoder)) {
        if (codec) context.reset(avcodec_alloc_context3(codec));
    }
    const AVCodec* codec;
    CodecContextPtr context;
};

}  // namespace

TEST_F(OptionsTest, AudioProfileByTableNumberOrLeftAlone) {
    Context aac("aac");
    apply_audio_profile(writer, *aac.context, "aac", "AAC-Low");
    EXPECT_EQ(aac.context->profile, AV_PROFILE_AAC_LOW);

    Context untouched("aac");
    apply_audio_profile(writer, *untouched.context, "aac", "AAC-HE");  // a libfdk_aac row only
    apply_audio_profile(writer, *untouched.context, "aac", nullptr);
    EXPECT_EQ(untouched.context->profile, AV_PROFILE_UNKNOWN);
    EXPECT_TRUE(kept_messages().empty());
}

// An x264 wrapper without the private options the writer sets: each refusal
// is reported with FFmpeg's reason, every later step still runs, and the
// encoder opens with what it accepted.
TEST_F(OptionsTest, EveryRefusedOptionIsReportedAndTheEncoderStillOpens) {
    Context plain("mpeg4");
    AVCodecContext& context = *plain.context;
    context.width = 64;
    context.height = 64;
    context.pix_fmt = AV_PIX_FMT_YUV420P;
    context.time_base = {1, 25};
    WriterSettings settings;
    settings.quality = 2;
    settings.videoProfile = "High";
    settings.keyFrameInterval = 12;
    settings.vbr = 0;
    settings.videoBitRate = 4000000;
    apply_video_options(writer, context, AV_CODEC_ID_H264, "libx264", settings);

    char reason_text[AV_ERROR_MAX_STRING_SIZE];
    av_strerror(AVERROR_OPTION_NOT_FOUND, reason_text, sizeof reason_text);
    const std::string reason = reason_text;
    const std::vector<std::string> expected{
        "QelFFmpegWriter: Error setting libx264-codec option 'preset': " + reason,
        "QelFFmpegWriter: Error setting libx264-codec option 'keyint_max': " + reason,
        "QelFFmpegWriter: Error setting libx264-codec option 'x264-params': " + reason,
        "QelFFmpegWriter: Error setting libx264-codec option 'tune': " + reason,
        "QelFFmpegWriter: Error setting video codec option 'profile' to 'high': " + reason,
    };
    ASSERT_EQ(kept_messages().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(kept_messages()[i].level, 4);
        EXPECT_EQ(kept_messages()[i].text, expected[i]);
    }
    EXPECT_EQ(context.max_b_frames, 3);  // the context fields were still set
    EXPECT_EQ(avcodec_open2(&context, plain.codec, nullptr), 0);
}
