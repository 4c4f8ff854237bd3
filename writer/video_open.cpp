// Opening the video stream and its encoder: the encoder found and checked
// against the pixels and profile, the colour decision, field coding, key
// frames, rate and options, then the stream's parameters and HDR metadata.
#include "writer/FFWriter.h"
#include "writer/encoder/dnxhd_rate.h"
#include "writer/settings/frame_rate.h"
#include "writer/colour/hdr_metadata.h"
#include "writer/encoder/options.h"
#include "writer/encoder/rate_control.h"
#include "writer/colour/output_colour.h"

#include "base/compat.h"
#include "base/error_text.h"
#include "base/log.h"
#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <climits>
#include <cstring>

namespace {

bool has_known_fields(int32_t fieldOrder) {
    return fieldOrder == AV_FIELD_TT || fieldOrder == AV_FIELD_BB || fieldOrder == AV_FIELD_TB ||
           fieldOrder == AV_FIELD_BT;
}

bool top_field_first(int32_t fieldOrder) { return fieldOrder == AV_FIELD_TT || fieldOrder == AV_FIELD_TB; }

// What the encoder is told about the pixels: colours as the converter makes
// them, and the field order.
void describe_picture(AVCodecContext* context, const OutputColour& colour, int32_t fieldOrder) {
    tag_encoder(*context, colour);
    context->field_order = AVFieldOrder(fieldOrder);
    // These encoders code fields only when asked to, and otherwise code
    // progressive pictures in a file flagged interlaced. (DNxHD is asked
    // once its profile and rate are known: see code_dnxhd_fields.)
    if (!has_known_fields(fieldOrder)) return;
    switch (context->codec_id) {
        case AV_CODEC_ID_MPEG2VIDEO:
            context->flags |= AV_CODEC_FLAG_INTERLACED_ME;
            [[fallthrough]];
        case AV_CODEC_ID_H264:
        case AV_CODEC_ID_PRORES:
            context->flags |= AV_CODEC_FLAG_INTERLACED_DCT;
            break;
        default:
            break;
    }
}

// DNxHD codes fields in its 1080i formats only (DNxHR and 720p have none,
// and each format its own rates): asked where the size, depth and rate, or
// some rate when none was given, have one. Those formats are upper field
// first by definition, as readers take them; lower first stays progressive.
void code_dnxhd_fields(const AVCodec& encoder, AVCodecContext& context, int32_t fieldOrder, bool anyRate) {
    const bool upperFirst = fieldOrder == AV_FIELD_TT || fieldOrder == AV_FIELD_TB;
    if (!upperFirst || dnxhd_profile(context) != AV_PROFILE_DNXHD) return;
    context.flags |= AV_CODEC_FLAG_INTERLACED_DCT;
    const bool fields = anyRate ? dnxhd_default_bit_rate(encoder, context) != 0 : dnxhd_opens(encoder, context, context.bit_rate);
    if (!fields) context.flags &= ~AV_CODEC_FLAG_INTERLACED_DCT;
}

// x264 writes the first field into the stream from its own parameters; the
// frames' flag reaches it only after that. Appended to what the encoder
// options already put there.
void tell_x264_first_field(AVCodecContext* context, int32_t fieldOrder) {
    if (!has_known_fields(fieldOrder)) return;
    append_private_params(*context, "x264-params", top_field_first(fieldOrder) ? "tff=1" : "bff=1");
}

// The join copies the segments' packets, which their container stored in its
// own layout: the description goes with them, not the encoder's.
int take_extradata(AVCodecParameters& parameters, const WriterSettings& settings) {
    av_freep(&parameters.extradata);
    parameters.extradata_size = 0;
    parameters.extradata = static_cast<uint8_t*>(av_mallocz(size_t(settings.videoExtradataSize) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!parameters.extradata) return AVERROR(ENOMEM);
    std::memcpy(parameters.extradata, settings.videoExtradata, size_t(settings.videoExtradataSize));
    parameters.extradata_size = settings.videoExtradataSize;
    return 0;
}

}  // namespace

bool FFWriter::openVideo(const WriterSettings& settings) {
    m_videoCodec = avcodec_find_encoder_by_name(m_videoCodecName);
    if (!m_videoCodec) {
        log(LOG_ERROR, "QelFFmpegWriter: this FFmpeg has no video encoder %s; the output is not written",
            m_videoCodecName);
        m_hasVideo = false;
        return false;
    }
    m_videoStream = avformat_new_stream(m_formatContext.get(), nullptr);
    if (m_videoStream) m_videoCodecContext.reset(avcodec_alloc_context3(m_videoCodec));
    if (!m_videoStream || !m_videoCodecContext) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to allocate video stream");
        return false;
    }
    if (m_outPixelFormat == AV_PIX_FMT_NONE) {
        const ffcompat::Supported<AVPixelFormat> formats = ffcompat::pixel_formats(m_videoCodec);
        if (formats.count == 0) {
            log(LOG_ERROR, "QelFFmpegWriter: failed to select output pixel type/format");
            return false;
        }
        m_outPixelFormat = formats.items[0];
    }
    // Hardware encoders (FFmpeg 9.0's prores_ks_vulkan among them) take only
    // frames of a device; opened without one, some crash inside FFmpeg.
    const AVPixFmtDescriptor* outDescriptor = av_pix_fmt_desc_get(AVPixelFormat(m_outPixelFormat));
    if (outDescriptor && (outDescriptor->flags & AV_PIX_FMT_FLAG_HWACCEL)) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to open encoder: %s takes only %s hardware frames", m_videoCodec->name,
            outDescriptor->name);
        return false;
    }
    // A stored project may pair a profile with pixels it cannot carry: libx264
    // refuses it without saying why, libvpx fails every frame, and prores_ks
    // writes a 4444 profile over 4:2:2 pixels, a file that says what it is not.
    ChoiceList profiles;
    list_profiles(m_videoCodec->name, profiles);
    for (size_t i = 0; i < profiles.size(); ++i) {
        const ChoiceEntry& chosen = profiles[i];
        if (!settings.videoProfile || std::strcmp(chosen.label, settings.videoProfile) != 0) continue;
        if (profile_carries(m_videoCodec->id, chosen.label, chosen.value, m_outPixelFormat)) break;
        // The one the panel moves to.
        const int32_t needed = profile_for_pixels(m_videoCodec->id, profiles, i, m_outPixelFormat);
        const char* pixels = outDescriptor ? outDescriptor->name : "?";
        if (needed >= 0)
            log(LOG_ERROR, "QelFFmpegWriter: the %s profile %s cannot carry %s pictures: they need the profile %s",
                m_videoCodec->name, chosen.label, pixels, profiles[size_t(needed)].label);
        else
            log(LOG_ERROR, "QelFFmpegWriter: the %s profile %s cannot carry %s pictures, nor can any other of its profiles",
                m_videoCodec->name, chosen.label, pixels);
        return false;
    }
    // BT.2100 codes its transfers in 10 or 12 bits; 8 would band visibly.
    const int depth = luma_depth(m_outPixelFormat);
    if (needs_ten_bits(settings.colour) && depth < 10) {
        log(LOG_ERROR, "QelFFmpegWriter: %s pictures need 10 bits or more: %s has %d; choose a 10-bit pixel format",
            colour_name(settings.colour), outDescriptor ? outDescriptor->name : "?", depth);
        return false;
    }
    m_fieldOrder = settings.fieldOrder;

    AVCodecContext* context = m_videoCodecContext.get();
    context->codec_type = AVMEDIA_TYPE_VIDEO;
    context->codec_id = m_videoCodec->id;
    context->width = m_width;
    context->height = m_height;
    context->time_base = av_inv_q(frame_rate_of(m_frameRate));
    context->framerate = av_inv_q(context->time_base);
    context->pix_fmt = AVPixelFormat(m_outPixelFormat);
    m_colour = decide_colour(AVPixelFormat(m_outPixelFormat), m_videoCodec->id, settings.colour, settings.mastering);
    describe_picture(context, m_colour, m_fieldOrder);
    if (settings.keyFrameInterval != 0) {
        context->gop_size = settings.keyFrameInterval;
        context->keyint_min = 1;
    }
    addMetadata(&m_videoStream->metadata, settings);
    if (settings.videoBitRate != 0) apply_rate_control(*m_videoCodecContext, settings, m_log);
    apply_video_options(m_log, *m_videoCodecContext, m_videoCodec->id, m_videoCodec->name, settings);
    if (m_videoCodec->id == AV_CODEC_ID_DNXHD) code_dnxhd_fields(*m_videoCodec, *context, m_fieldOrder, settings.videoBitRate == 0);
    if (m_videoCodec->id == AV_CODEC_ID_DNXHD && settings.videoBitRate == 0 && dnxhd_profile(*context) == AV_PROFILE_DNXHD) {
        context->bit_rate = dnxhd_default_bit_rate(*m_videoCodec, *context);
        if (context->bit_rate == 0) {
            log(LOG_ERROR,
                "QelFFmpegWriter: DNxHD codes no %dx%d %s pictures: it takes 1920x1080 and 1280x720 (at 8 bits "
                "also 1440x1080 and 960x720); a DNxHR profile takes any size",
                m_width, m_height, outDescriptor ? outDescriptor->name : "?");
            return false;
        }
    }
    if (is_x264_encoder(m_videoCodec->name))
        tell_x264_first_field(context, m_fieldOrder);
    if (m_colour.hdr10) tellHdr();
    context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (m_outputFormat->flags & AVFMT_GLOBALHEADER) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The join codes no picture: its encoder only sets the stream up, and
    // threads of their own would cost it more than copying the pictures.
    if (m_copyVideo)
        av_dict_set(m_videoOptions.address(), "threads", "1", 0);
    else if (!av_dict_get(m_videoOptions.get(), "threads", nullptr, 0))
        av_dict_set(m_videoOptions.address(), "threads", "auto", 0);

    int result = avcodec_open2(context, m_videoCodec, m_videoOptions.address());
    if (result >= 0) result = avcodec_parameters_from_context(m_videoStream->codecpar, context);
    if (result >= 0 && m_copyVideo && settings.videoExtradata) result = take_extradata(*m_videoStream->codecpar, settings);
    if (result >= 0 && !attach_hdr_to_stream(*m_videoStream, m_colour)) result = AVERROR(ENOMEM);
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to open encoder: %s", ffmpeg_error_text(result));
        return false;
    }
    // The muxer may pick its own time base at the header; mov needs the frame
    // rate to write the timecode track.
    m_videoStream->time_base = context->time_base;
    // In lowest terms: some muxers (roq) take only whole frame rates.
    av_reduce(&m_videoStream->avg_frame_rate.num, &m_videoStream->avg_frame_rate.den, context->time_base.den,
              context->time_base.num, INT_MAX);
    m_videoStream->r_frame_rate = m_videoStream->avg_frame_rate;
    return true;
}

// Where the mastering display and light levels go besides the stream (see
// attach_hdr_to_stream), and where they cannot: said, never dropped unsaid.
void FFWriter::tellHdr() {
    const char* option = hdr_params_option(m_videoCodec->name);
    if (option) {
        const int set = append_private_params(*m_videoCodecContext, option, hdr_params(option, m_colour));
        if (set < 0)
            log(LOG_ERROR, "QelFFmpegWriter: Error setting video codec option '%s': %s", option, ffmpeg_error_text(set));
    }
    if (container_keeps_hdr(m_outputFormat->name)) return;
    if (option)
        log(LOG_WARNING,
            "QelFFmpegWriter: %s keeps no mastering display or light levels of its own: only the %s pictures carry them",
            m_outputFormat->name, m_videoCodec->name);
    else
        log(LOG_WARNING,
            "QelFFmpegWriter: neither %s nor %s carries the mastering display and light levels: the file says PQ "
            "without them (mov, mp4, Matroska and WebM keep them)",
            m_outputFormat->name, m_videoCodec->name);
}
