// Opening an output: picture checks, container, metadata, streams and
// encoders, the file, the picture converter and the header, in that order.
#include "FFWriter.h"
#include "dnxhd_rate.h"
#include "frame_rate.h"
#include "hdr_metadata.h"
#include "options.h"
#include "output_colour.h"
#include "output_path.h"

#include "VelmoraCore.h"
#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"
#include "base/compat.h"
#include "base/error_text.h"
#include "base/log.h"
#include "base/text.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace {

constexpr int MAX_PICTURE_SIZE = 8192;

const char* last_separator(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* backslash = std::strrchr(path, '\\');
    return slash > backslash ? slash : backslash;
}

// What MXF takes, said when its muxer refuses a header: its own words name
// one fault at a time.
const char* mxf_needs(const char* muxer) {
    if (std::strcmp(muxer, "mxf_opatom") == 0)
        return "MXF OP-Atom takes one stream only (no sound beside the pictures), DNxHD/DNxHR, MPEG-2, H.264 or "
               "ProRes pictures at a broadcast frame rate (23.976, 24, 25, 29.97, 30, 50, 59.94, 60 fps and the like)";
    if (std::strcmp(muxer, "mxf") == 0 || std::strcmp(muxer, "mxf_d10") == 0)
        return "MXF takes MPEG-2, DNxHD/DNxHR, ProRes, H.264, DV or JPEG 2000 pictures at a broadcast frame rate "
               "(23.976, 24, 25, 29.97, 30, 50, 59.94, 60 fps and the like), with 48 kHz PCM sound";
    return nullptr;
}

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

// libswscale makes no palette pictures. As FFmpeg's own scale filter does,
// the converter makes 3-3-2 BGR and each picture carries the palette that
// spells out that layout (convertPicture).
AVPixelFormat converter_format(AVPixelFormat format) {
    return format == AV_PIX_FMT_PAL8 ? AV_PIX_FMT_BGR8 : format;
}

}  // namespace

int32_t FFWriter::cbrBufferSize(AVRational timeBase, int64_t bitRate, int32_t gopSize) {
    const auto saturate = [](int64_t value) { return std::clamp<int64_t>(value, INT32_MIN, INT32_MAX); };
    int64_t size = bitRate;
    if (gopSize != 0) {
        const double frameBits = double(timeBase.num) / double(timeBase.den) * double(bitRate) + 1.5;
        size = saturate(int64_t(std::min(frameBits, double(INT32_MAX)))) * gopSize;
    }
    size = saturate(size);
    // At least one frame's bits.
    const int64_t oneFrame = timeBase.num * bitRate;
    if (size != 0 && oneFrame > timeBase.den * size) size = saturate((oneFrame + timeBase.den - 1) / timeBase.den);
    return int32_t(size);
}

bool FFWriter::open(const char* fileName, WriterSettings* settings) {
    if (!fileName || !settings) return false;
    // Never abandon an output: an open one is finished, what a failed open
    // left behind is released before anything replaces it.
    if (m_isOpen) close();
    release();
    if (!openOutput(fileName, *settings)) {
        // A refused output leaves nothing behind, and an earlier take stays.
        release();
        m_outputFile.discard();
        m_tempFileName.clear();
        return false;
    }
    m_isOpen = true;
    return true;
}

bool FFWriter::openOutput(const char* fileName, WriterSettings& settings) {
    if (std::strlen(fileName) >= size_t(PATH_SIZE)) {
        log(LOG_ERROR, "QelFFmpegWriter: file path longer than %d characters: %s", PATH_SIZE - 1, fileName);
        return false;
    }
    copy_text(m_fileName, fileName);
    m_hasVideo = settings.videoCodecName && settings.videoCodecName[0];
    m_hasAudio = settings.audioCodecName && settings.audioCodecName[0];

    m_videoCodec = nullptr;
    m_audioCodec = nullptr;
    m_videoStream = nullptr;
    m_audioStream = nullptr;
    m_outputFormat = nullptr;
    m_videoFrameCount = 0;
    m_audioSampleCount = 0;
    m_videoLastDts = AV_NOPTS_VALUE;
    m_audioLastDts = AV_NOPTS_VALUE;
    m_mediaWritten = false;

    m_width = settings.width;
    m_height = settings.height;
    m_frameRate = settings.frameRate;
    m_inPixelFormat = settings.inPixelFormat;
    m_outPixelFormat = settings.outPixelFormat;
    m_inSampleFormat = settings.inSampleFormat;
    m_outSampleFormat = settings.outSampleFormat;
    m_inSampleRate = settings.inSampleRate;
    m_outSampleRate = 0;
    m_noMetadata = settings.noMetadata;

    // A link's movie goes to its target; only a regular file is ever
    // replaced by a rename, so a device or FIFO is written straight through.
    const OutputTarget target = resolve_output(fileName);
    if (target.kind == OutputKind::Directory) {
        log(LOG_ERROR, "QelFFmpegWriter: output path is a directory: %s", fileName);
        return false;
    }
    if (target.path.size() >= size_t(PATH_SIZE)) {
        log(LOG_ERROR, "QelFFmpegWriter: file path longer than %d characters: %s", PATH_SIZE - 1,
            target.path.c_str());
        return false;
    }
    copy_text(m_fileName, target.path.c_str());

    const bool quickTime = is_quicktime_container(settings.containerName);
    m_useTempFile = target.kind != OutputKind::Special;
    m_fastStart = settings.fastStart && quickTime && m_useTempFile;
    if (settings.fastStart && quickTime && !m_fastStart)
        log(LOG_WARNING,
            "QelFFmpegWriter: faststart needs a seekable file; <%s> is not a regular file, so the movie is written "
            "straight to it without faststart",
            m_fileName);
    m_tempFileName.clear();

    m_videoCodecName[0] = '\0';
    m_audioCodecName[0] = '\0';
    if (m_hasVideo) copy_text(m_videoCodecName, settings.videoCodecName);
    if (m_hasAudio) copy_text(m_audioCodecName, settings.audioCodecName);

    if (m_hasVideo) {
        if (m_width < 1 || m_width > MAX_PICTURE_SIZE || m_height < 1 || m_height > MAX_PICTURE_SIZE) {
            log(LOG_ERROR, "QelFFmpegWriter: invalid image dimensions");
            return false;
        }
        if (m_width % 2 != 0 || m_height % 2 != 0) {
            log(LOG_ERROR, "QelFFmpegWriter: width and height must be multiples of 2");
            return false;
        }
        if (!is_usable_frame_rate(m_frameRate)) {
            log(LOG_WARNING, "QelFFmpegWriter: invalid video framerate, forcing 24 fps");
            m_frameRate = FALLBACK_FRAME_RATE;
        }
    }

    if (!openContainer(settings)) return false;
    // Audio is the first stream, except for a muxer that takes video first only.
    // Muxers of edit units take the picture stream only as the first one.
    const bool videoFirst = is_edit_unit_muxer(m_outputFormat->name);
    if (videoFirst && m_hasVideo && !openVideo(settings)) return false;
    if (m_hasAudio && !openAudio(settings)) return false;
    if (!videoFirst && m_hasVideo && !openVideo(settings)) return false;
    if (!openFile()) return false;
    if (m_hasVideo && !openConverter(settings.timecode)) return false;
    return writeHeader(settings.timecode);
}

bool FFWriter::openContainer(const WriterSettings& settings) {
    m_outputFormat = find_muxer(settings.containerName);
    if (!m_outputFormat) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to allocate output format");
        return false;
    }
    if (m_outputFormat->flags & AVFMT_NOFILE) {
        log(LOG_ERROR, "QelFFmpegWriter: format doesn't require file to be created");
        return false;
    }
    AVFormatContext* context = nullptr;
    avformat_alloc_output_context2(&context, m_outputFormat, nullptr, m_fileName);
    m_formatContext.reset(context);
    if (!context) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to allocate format context");
        return false;
    }
    addMetadata(&context->metadata, settings);
    return true;
}

void FFWriter::addMetadata(AVDictionary** dictionary, const WriterSettings& settings) {
    if (m_noMetadata) return;
    if (settings.metadataPairs)
        for (int32_t i = 0; i < settings.metadataCount; ++i)
            av_dict_set(dictionary, settings.metadataPairs[i].key, settings.metadataPairs[i].value, 0);
    av_dict_set(dictionary, "encoder", WRITER_ENCODER_TAG, 0);
}

bool FFWriter::openVideo(WriterSettings& settings) {
    m_videoCodec = avcodec_find_encoder_by_name(m_videoCodecName);
    if (!m_videoCodec) {
        // An encoder this FFmpeg lacks turns the output into one without video.
        m_hasVideo = false;
        return true;
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
    if (needs_ten_bits(settings.colour) && luma_depth(AVPixelFormat(m_outPixelFormat)) < 10) {
        log(LOG_ERROR, "QelFFmpegWriter: %s pictures need 10 bits or more: %s has %d; choose a 10-bit pixel format",
            colour_name(settings.colour), outDescriptor ? outDescriptor->name : "?",
            luma_depth(AVPixelFormat(m_outPixelFormat)));
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
    if (settings.videoBitRate != 0) applyRateControl(settings);
    applyVideoOptions(settings, m_videoCodec->name);
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
    if (!av_dict_get(m_videoOptions.get(), "threads", nullptr, 0))
        av_dict_set(m_videoOptions.address(), "threads", "auto", 0);

    int result = avcodec_open2(context, m_videoCodec, m_videoOptions.address());
    if (result >= 0) result = avcodec_parameters_from_context(m_videoStream->codecpar, context);
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
        const int set = append_private_params(*m_videoCodecContext, option, hdr_params(m_videoCodec->name, m_colour));
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

void FFWriter::applyRateControl(const WriterSettings& settings) {
    AVCodecContext* context = m_videoCodecContext.get();
    context->bit_rate = settings.videoBitRate;
    if (settings.vbr != 0) return;
    context->rc_min_rate = context->bit_rate;
    context->rc_max_rate = context->bit_rate;
    context->rc_buffer_size = cbrBufferSize(context->time_base, context->bit_rate, context->gop_size);
    context->bit_rate_tolerance = int32_t(context->bit_rate);
    const bool mpegVideo = context->codec_id == AV_CODEC_ID_MPEG1VIDEO || context->codec_id == AV_CODEC_ID_MPEG2VIDEO;
    if (context->rc_max_rate != 0 && context->rc_max_rate == context->rc_min_rate && mpegVideo &&
        (int64_t(context->rc_buffer_size) - 1) * 90000 > context->rc_max_rate * 65535)
        log(LOG_WARNING,
            "QelFFmpegWriter: WARNING: bitrate mode will be set to VBR as the specified bitrate too large (buffer "
            "too large)!");
}

bool FFWriter::openFile() {
    av_dump_format(m_formatContext.get(), 0, m_fileName, 1);

    char directory[PATH_SIZE];
    copy_text(directory, m_fileName);
    if (char* separator = const_cast<char*>(last_separator(directory))) {
        *separator = '\0';
        if (directory[0]) file_create_directory(directory, true);
    }

    const bool created = m_useTempFile ? m_outputFile.create(m_fileName, m_logCallback)
                                       : m_outputFile.openSpecial(m_fileName, m_logCallback);
    if (!created) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to create file: %s", ffmpeg_error_text(m_outputFile.error()));
        return false;
    }
    if (m_useTempFile) m_tempFileName = m_outputFile.path();
    // The muxer writes through the file's own I/O, which knows every position.
    AVFormatContext* context = m_formatContext.get();
    context->pb = m_outputFile.io();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    av_freep(&context->url);
    context->url = av_strdup(m_outputFile.path().c_str());
    return context->url != nullptr;
}

bool FFWriter::openConverter(const char* timecode) {
    m_outFrame.reset(av_frame_alloc());
    m_inFrame.reset(av_frame_alloc());
    if (!m_outFrame || !m_inFrame) {
        m_outFrame.reset();
        m_inFrame.reset();
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    const auto inFormat = AVPixelFormat(m_inPixelFormat);
    const auto outFormat = AVPixelFormat(m_outPixelFormat);

    ConverterSetup setup;
    setup.width = m_width;
    setup.height = m_height;
    setup.inFormat = inFormat;
    setup.outFormat = converter_format(outFormat);
    setup.fullRangeOut = m_colour.range == AVCOL_RANGE_JPEG;
    setup.matrix = m_colour.conversion;
    if (!m_pictureConverter.open(setup) && !(m_swsContext = make_converter(setup))) {
        log(LOG_ERROR, "QelFFmpegWriter: Failed to initialize conversion context");
        return false;
    }

    const int size = av_image_get_buffer_size(outFormat, m_width, padded_height(m_height), PICTURE_ALIGN);
    if (size > 0) m_pictureBuffer.reset(av_buffer_pool_init(size_t(size), nullptr));
    if (!m_pictureBuffer) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    m_outFrame->format = outFormat;
    m_outFrame->width = m_width;
    m_outFrame->height = m_height;
    m_inFrame->format = inFormat;
    m_inFrame->width = m_width;
    m_inFrame->height = m_height;

    av_dict_set(&m_videoStream->metadata, "timecode", timecode, 0);
    return true;
}

bool FFWriter::writeHeader(const char* timecode) {
    Dictionary options;
    av_dict_set(options.address(), "timecode", timecode, AV_DICT_APPEND);
    // Ogg holds a page of each stream until it lasts a second: half a second
    // keeps a crash's loss to what the other muxers lose.
    if (muxer_has_option(*m_outputFormat, "page_duration")) av_dict_set(options.address(), "page_duration", "500000", 0);

    const int result = avformat_write_header(m_formatContext.get(), options.address());
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: Error occurred when opening output file: %s", ffmpeg_error_text(result));
        if (const char* needs = mxf_needs(m_outputFormat->name)) log(LOG_ERROR, "QelFFmpegWriter: %s", needs);
        return false;
    }
    // A movie with no media yet is a movie all the same, from the start.
    avio_flush(m_formatContext->pb);
    m_batches = std::make_unique<MediaBatches>(*m_formatContext);
    if (m_useTempFile && writes_index_last(m_outputFormat->name)) {
        m_crashSafe = std::make_unique<CrashSafeMovie>();
        if (!m_crashSafe->start(m_formatContext.get(), m_outputFile, m_logCallback)) {
            m_crashSafe.reset();
            log(LOG_WARNING, "QelFFmpegWriter: <%s> cannot be kept readable while it is written: a crash would lose it",
                m_tempFileName.c_str());
        }
    }
    // libavformat puts its own name over the container's "encoder". mov
    // writes its tags only at the trailer, so ours can go back; muxers that
    // rewrite their header at the trailer (asf) must keep what they wrote.
    if (!m_noMetadata && std::strcmp(m_outputFormat->name, "mov") == 0)
        av_dict_set(&m_formatContext->metadata, "encoder", WRITER_ENCODER_TAG, 0);
    return true;
}
