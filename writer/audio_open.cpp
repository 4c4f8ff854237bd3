// The audio step of open: the audio stream (always the first stream of the
// file), its encoder and the resampler from the host's interleaved samples to
// the encoder's layout.
#include "writer/FFWriter.h"
#include "writer/encoder/options.h"
#include "writer/settings/frame_rate.h"

#include "base/compat.h"
#include "base/error_text.h"
#include "base/log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// True when `codec` opens with `layout` at the given rate and format. Encoders
// differ in whether they take the stereo-downmix layout, and only opening one
// tells; the trial is kept out of the log.
bool encoderAcceptsLayout(const AVCodec* codec, const AVChannelLayout& layout, int32_t sampleRate,
                          int32_t sampleFormat) {
    CodecContextPtr trial(avcodec_alloc_context3(codec));
    if (!trial) return false;
    trial->log_level_offset = AV_LOG_TRACE;
    trial->sample_rate = sampleRate;
    trial->time_base = AVRational{1, sampleRate > 0 ? sampleRate : 1};
    trial->sample_fmt = AVSampleFormat(sampleFormat);
    trial->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (av_channel_layout_copy(&trial->ch_layout, &layout) < 0) return false;
    return avcodec_open2(trial.get(), codec, nullptr) >= 0;
}

// An encoder that declares no formats takes any.
bool takesSampleFormat(const AVCodec* codec, int32_t sampleFormat) {
    const ffcompat::Supported<AVSampleFormat> formats = ffcompat::sample_formats(codec);
    return formats.takes_any() || std::find(formats.begin(), formats.end(), sampleFormat) != formats.end();
}

const char* sampleFormatName(int32_t sampleFormat) {
    const char* name = av_get_sample_fmt_name(AVSampleFormat(sampleFormat));
    return name ? name : "none";
}

}  // namespace

int32_t FFWriter::chooseSampleRate(const AVCodec* codec, int32_t requested) {
    const ffcompat::Supported<int> rates = ffcompat::sample_rates(codec);
    if (rates.takes_any()) return requested;
    int32_t chosen = 0;
    int64_t bestDifference = -1;
    for (int rate : rates) {
        const int64_t difference = std::llabs(int64_t(rate) - requested);
        if (bestDifference < 0 || difference < bestDifference) {
            bestDifference = difference;
            chosen = rate;
        }
    }
    if (bestDifference != 0)
        log(LOG_WARNING, "QelFFmpegWriter: Requested sampling rate (%dHz) unsupported, using %dHz instead.",
            requested, chosen);
    return chosen;
}

void FFWriter::chooseChannelLayout(const AVCodec* codec, int32_t channels, AVChannelLayout& layout) {
    av_channel_layout_uninit(&layout);
    const ffcompat::Supported<AVChannelLayout> layouts = ffcompat::channel_layouts(codec);
    if (layouts.takes_any()) {
        av_channel_layout_default(&layout, channels);
        return;
    }
    // The declared layout with the most channels the host can fill; earliest among equals.
    const AVChannelLayout* kept = nullptr;
    for (const AVChannelLayout& candidate : layouts) {
        const int keptChannels = kept ? kept->nb_channels : 0;
        if (candidate.nb_channels > keptChannels && candidate.nb_channels <= channels) kept = &candidate;
    }
    if (kept) av_channel_layout_copy(&layout, kept);
}

bool FFWriter::openAudio(const WriterSettings& settings) {
    if (!m_hasAudio) return true;

    m_audioCodec = avcodec_find_encoder_by_name(m_audioCodecName);
    if (!m_audioCodec) {
        // A movie without its sound is no render of the project (one stored
        // where FFmpeg had this encoder): said and refused.
        log(LOG_ERROR, "QelFFmpegWriter: this FFmpeg has no audio encoder %s; the output is not written",
            m_audioCodecName);
        m_hasAudio = false;
        return false;
    }

    // Created before the video stream, so the audio stream is stream 0,
    // unless the muxer takes pictures first.
    m_audioStream = avformat_new_stream(m_formatContext.get(), nullptr);
    m_audioCodecContext.reset(m_audioStream ? avcodec_alloc_context3(m_audioCodec) : nullptr);
    if (!m_audioCodecContext) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to allocate audio stream");
        return false;
    }
    AVCodecContext* context = m_audioCodecContext.get();

    av_channel_layout_uninit(&m_inChannelLayout);
    av_channel_layout_default(&m_inChannelLayout, settings.channels);
    if (settings.stereo) {
        av_channel_layout_uninit(&m_outChannelLayout);
        av_channel_layout_from_mask(&m_outChannelLayout, AV_CH_LAYOUT_STEREO_DOWNMIX);
    } else {
        chooseChannelLayout(m_audioCodec, settings.channels, m_outChannelLayout);
    }

    m_outSampleRate = chooseSampleRate(m_audioCodec, m_inSampleRate);

    apply_audio_profile(m_log, *m_audioCodecContext, m_audioCodec->name, settings.audioProfile);

    // The resampler always mixes to m_outChannelLayout; the encoder is told
    // plain stereo when it refuses the downmix layout, which holds the same two channels.
    AVChannelLayout encoderLayout{};
    av_channel_layout_copy(&encoderLayout, &m_outChannelLayout);
    if (settings.stereo &&
        !encoderAcceptsLayout(m_audioCodec, m_outChannelLayout, m_outSampleRate, m_outSampleFormat)) {
        av_channel_layout_uninit(&encoderLayout);
        av_channel_layout_from_mask(&encoderLayout, AV_CH_LAYOUT_STEREO);
    }

    context->codec_id = m_audioCodec->id;
    context->codec_type = AVMEDIA_TYPE_AUDIO;
    context->time_base = AVRational{1, m_outSampleRate > 0 ? m_outSampleRate : 1};
    context->sample_rate = m_outSampleRate;
    context->sample_fmt = AVSampleFormat(m_outSampleFormat);
    av_channel_layout_uninit(&context->ch_layout);
    context->ch_layout = encoderLayout;  // the context takes over the copy
    if (settings.audioBitRate != 0) context->bit_rate = settings.audioBitRate;
    context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (m_formatContext->oformat->flags & AVFMT_GLOBALHEADER) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    if (!av_dict_get(m_audioOptions.get(), "threads", nullptr, 0))
        av_dict_set(m_audioOptions.address(), "threads", "auto", 0);
    // AMV's muxer takes exactly one block of sound per picture; the encoder's
    // own block of 1024 samples fits no frame rate.
    if (m_audioCodec->id == AV_CODEC_ID_ADPCM_IMA_AMV && !av_dict_get(m_audioOptions.get(), "block_size", nullptr, 0)) {
        const AVRational pictureRate = frame_rate_of(m_frameRate);
        av_dict_set_int(m_audioOptions.address(), "block_size",
                        av_rescale(m_outSampleRate, pictureRate.den, pictureRate.num), 0);
    }

    if (!takesSampleFormat(m_audioCodec, m_outSampleFormat)) {
        log(LOG_ERROR, "QelFFmpegWriter: audio encoder does not support sample format: %s",
            sampleFormatName(m_outSampleFormat));
        return false;
    }

    // One channel holds the same bytes planar or interleaved: give the encoder
    // the variant it lists first.
    if (av_codec_is_encoder(m_audioCodec)) {
        for (AVSampleFormat format : ffcompat::sample_formats(m_audioCodec)) {
            if (format == context->sample_fmt) break;
            if (context->ch_layout.nb_channels == 1 &&
                av_get_planar_sample_fmt(format) == av_get_planar_sample_fmt(context->sample_fmt)) {
                context->sample_fmt = format;
                break;
            }
        }
    }

    int result = avcodec_open2(context, m_audioCodec, m_audioOptions.address());
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to open audio encoder: %s", ffmpeg_error_text(result));
        return false;
    }
    result = avcodec_parameters_from_context(m_audioStream->codecpar, context);
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to open audio encoder: %s", ffmpeg_error_text(result));
        return false;
    }
    m_audioStream->time_base = context->time_base;
    // The encoder opened: the join will code this sound with it.
    if (m_soundAsIs) return openSoundAsIs();

    m_swrContext.reset(swr_alloc());
    if (!m_swrContext) {
        log(LOG_ERROR, "QelFFmpegWriter: Failed to initialize audio conversion context.");
        return false;
    }
    // Checked together by swr_init below.
    SwrContext* resampler = m_swrContext.get();
    av_opt_set_chlayout(resampler, "in_chlayout", &m_inChannelLayout, 0);
    av_opt_set_int(resampler, "in_sample_rate", m_inSampleRate, 0);
    av_opt_set_sample_fmt(resampler, "in_sample_fmt", AVSampleFormat(m_inSampleFormat), 0);
    av_opt_set_chlayout(resampler, "out_chlayout", &m_outChannelLayout, 0);
    av_opt_set_int(resampler, "out_sample_rate", m_outSampleRate, 0);
    av_opt_set_sample_fmt(resampler, "out_sample_fmt", AVSampleFormat(m_outSampleFormat), 0);
    // Every host channel is sound the user ticked: a mix to fewer channels
    // keeps the one that the default layout happens to call LFE, too.
    av_opt_set_double(resampler, "lfe_mix_level", M_SQRT1_2, 0);
    result = swr_init(resampler);
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: Failed to initialize audio conversion context. %s",
            ffmpeg_error_text(result));
        log(LOG_PLAIN, "Can't convert audio from %s to %s", sampleFormatName(m_inSampleFormat),
            sampleFormatName(m_outSampleFormat));
        return false;
    }

    if (m_quality) m_quality->measureSound(context->ch_layout, context->sample_rate, context->sample_fmt, m_log);

    // A fresh plane array per output: one pointer per plane, never fewer than
    // eight, so a planar layout of many channels cannot write past its end.
    m_audioFifo.reset();
    m_audioBufferSamples = 0;
    const int planes = std::max(AUDIO_PLANE_POINTERS, m_outChannelLayout.nb_channels);
    m_audioBuffers.reset(static_cast<uint8_t**>(av_calloc(size_t(planes), sizeof(uint8_t*))));
    if (!m_audioBuffers) {
        log(LOG_ERROR, "QelFFmpegWriter: could not allocate audio data buffers");
        return false;
    }
    return true;
}
