// The chosen profile, preset, tuning and rate control as the encoder context
// receives them, before it is opened.
#include "catalogue_fixture.h"

#include "writer/options.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <string>

namespace {

struct Context {
    explicit Context(const char* encoder) : codec(avcodec_find_encoder_by_name(encoder)) {
        if (codec) context.reset(avcodec_alloc_context3(codec));
    }
    std::string option(const char* name) const {
        uint8_t* value = nullptr;
        if (av_opt_get(context->priv_data, name, 0, &value) < 0) return "<missing>";
        std::string text = value ? reinterpret_cast<char*>(value) : "";
        av_free(value);
        return text;
    }
    int64_t number(const char* name) const {
        int64_t value = -12345;
        av_opt_get_int(context->priv_data, name, 0, &value);
        return value;
    }
    std::string x264_param(const char* key) const {
        AVDictionary* params = nullptr;
        av_opt_get_dict_val(context->priv_data, "x264-params", 0, &params);
        const AVDictionaryEntry* entry = av_dict_get(params, key, nullptr, 0);
        std::string text = entry ? entry->value : "<unset>";
        av_dict_free(&params);
        return text;
    }
    const AVCodec* codec;
    CodecContextPtr context;
};

WriterSettings x264_settings(int32_t quality, const char* profile) {
    WriterSettings settings;
    settings.quality = quality;
    settings.videoProfile = profile;
    settings.vbr = 1;
    return settings;
}

}  // namespace

TEST_F(CatalogueTest, Libx264KeyFrameAndConstantRateTextInX264Units) {
    Context keyint("libx264");
    WriterSettings settings = x264_settings(2, "Main");
    settings.keyFrameInterval = 25;
    apply_video_options(*state.writer, *keyint.context, AV_CODEC_ID_H264, "libx264", settings);
    EXPECT_EQ(keyint.x264_param("keyint"), "25");
    EXPECT_EQ(keyint.x264_param("keyint_max"), "<unset>");

    // Constant rate: x264 reads kbit/s and kbit. The text replaces the
    // key-frame one, whose interval reaches x264 through gop_size.
    Context cbr("libx264");
    cbr.context->rc_buffer_size = 8000025;
    settings.vbr = 0;
    settings.videoBitRate = 8000000;
    apply_video_options(*state.writer, *cbr.context, AV_CODEC_ID_H264, "libx264", settings);
    EXPECT_EQ(cbr.x264_param("nal-hrd"), "cbr");
    EXPECT_EQ(cbr.x264_param("bitrate"), "8000");
    EXPECT_EQ(cbr.x264_param("vbv-maxrate"), "8000");
    EXPECT_EQ(cbr.x264_param("vbv-bufsize"), "8000");
    EXPECT_EQ(cbr.x264_param("keyint"), "<unset>");
    EXPECT_EQ(cbr.option("profile"), "main");

    Context none("libx264");
    settings = x264_settings(2, nullptr);
    settings.keyFrameInterval = -1;
    settings.videoBitRate = 8000000;  // variable rate: no buffer settings
    apply_video_options(*state.writer, *none.context, AV_CODEC_ID_H264, "libx264", settings);
    EXPECT_EQ(none.option("x264-params"), "");
    EXPECT_TRUE(messages().empty());
}

TEST_F(CatalogueTest, AudioProfileByTableNumberOrLeftAlone) {
    Context aac("aac");
    apply_audio_profile(*state.writer, *aac.context, "aac", "AAC-Low");
    EXPECT_EQ(aac.context->profile, FF_PROFILE_AAC_LOW);

    Context untouched("aac");
    apply_audio_profile(*state.writer, *untouched.context, "aac", "AAC-HE");  // a libfdk_aac row only
    apply_audio_profile(*state.writer, *untouched.context, "aac", nullptr);
    EXPECT_EQ(untouched.context->profile, FF_PROFILE_UNKNOWN);
    EXPECT_TRUE(messages().empty());
}

// An x264 wrapper without the private options the writer sets: each refusal
// is reported with FFmpeg's reason, every later step still runs, and the
// encoder opens with what it accepted.
TEST_F(CatalogueTest, EveryRefusedOptionIsReportedAndTheEncoderStillOpens) {
    Context plain("mpeg4");
    AVCodecContext& context = *plain.context;
    context.width = 64;
    context.height = 64;
    context.pix_fmt = AV_PIX_FMT_YUV420P;
    context.time_base = {1, 25};
    WriterSettings settings = x264_settings(2, "High");
    settings.keyFrameInterval = 12;
    settings.vbr = 0;
    settings.videoBitRate = 4000000;
    apply_video_options(*state.writer, context, AV_CODEC_ID_H264, "libx264", settings);

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
    ASSERT_EQ(messages().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(messages()[i].level, 4);
        EXPECT_EQ(messages()[i].text, expected[i]);
    }
    EXPECT_EQ(context.max_b_frames, 3);  // the context fields were still set
    EXPECT_EQ(avcodec_open2(&context, plain.codec, nullptr), 0);
}
