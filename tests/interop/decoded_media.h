// A movie file read back the way the interoperability test judges it: every
// packet of every stream decoded (experimental decoders allowed, as the
// module writes with experimental encoders), what came back counted, and
// every message FFmpeg raises at error level kept, for files of any codec.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace media {

struct DecodedStream {
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codec = AV_CODEC_ID_NONE;
    bool decoderOpened = false;
    bool experimental = false;  // read by a decoder FFmpeg marks experimental
    int64_t frames = 0;   // pictures, or audio frames
    int64_t samples = 0;  // per channel, audio only
    int channels = 0;
    int sampleRate = 0;
    int width = 0;
    int height = 0;
    // Presentation time of each picture in seconds, in decoding output order;
    // empty entries (no timestamp) are NaN.
    std::vector<double> pictureTimes;
};

struct DecodedMedia {
    bool opened = false;
    std::vector<std::string> errors;  // FFmpeg's error-level messages and failed calls
    std::vector<DecodedStream> streams;

    const DecodedStream* first(AVMediaType type) const {
        for (const DecodedStream& stream : streams)
            if (stream.type == type) return &stream;
        return nullptr;
    }
    std::string error_text() const {
        std::string text;
        for (const std::string& error : errors) text += (text.empty() ? "" : "; ") + error;
        return text;
    }
};

namespace detail {

inline std::mutex& log_mutex() {
    static std::mutex mutex;
    return mutex;
}
inline std::vector<std::string>*& log_sink() {
    static std::vector<std::string>* sink = nullptr;
    return sink;
}

inline void catch_errors(void* object, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::lock_guard<std::mutex> lock(log_mutex());
    if (log_sink()) log_sink()->push_back(text);
}

// FFmpeg's log goes to `sink` while the guard lives (one at a time).
class ErrorCapture {
public:
    explicit ErrorCapture(std::vector<std::string>& sink) {
        std::lock_guard<std::mutex> lock(log_mutex());
        log_sink() = &sink;
        av_log_set_callback(catch_errors);
    }
    ~ErrorCapture() {
        av_log_set_callback(av_log_default_callback);
        std::lock_guard<std::mutex> lock(log_mutex());
        log_sink() = nullptr;
    }
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;
};

struct FormatClose {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecFree>;
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

inline std::string av_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace detail

// Decodes the whole file. Decoders run on one thread, so every message they
// raise lands in `errors` in order.
inline DecodedMedia decode_media(const std::string& path) {
    using namespace detail;
    DecodedMedia media;
    ErrorCapture capture(media.errors);

    AVFormatContext* raw = nullptr;
    int result = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (result < 0) {
        media.errors.push_back("avformat_open_input: " + av_text(result));
        return media;
    }
    std::unique_ptr<AVFormatContext, FormatClose> format(raw);
    // The probing decoders too may be experimental ones.
    std::vector<AVDictionary*> probeOptions(format->nb_streams, nullptr);
    for (AVDictionary*& options : probeOptions) av_dict_set(&options, "strict", "experimental", 0);
    result = avformat_find_stream_info(format.get(), probeOptions.empty() ? nullptr : probeOptions.data());
    for (AVDictionary*& options : probeOptions) av_dict_free(&options);
    if (result < 0) {
        media.errors.push_back("avformat_find_stream_info: " + av_text(result));
        return media;
    }
    media.opened = true;

    std::vector<CodecContextPtr> decoders;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        DecodedStream decoded;
        decoded.type = stream->codecpar->codec_type;
        decoded.codec = stream->codecpar->codec_id;
        CodecContextPtr context;
        const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
        if (decoder && (decoded.type == AVMEDIA_TYPE_VIDEO || decoded.type == AVMEDIA_TYPE_AUDIO)) {
            context.reset(avcodec_alloc_context3(decoder));
            if (context && avcodec_parameters_to_context(context.get(), stream->codecpar) >= 0) {
                context->thread_count = 1;
                // As `ffmpeg -strict experimental` would: the module writes with
                // FFmpeg's experimental encoders too. Callers see the mark.
                context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
                decoded.experimental = decoder->capabilities & AV_CODEC_CAP_EXPERIMENTAL;
                context->pkt_timebase = stream->time_base;
                result = avcodec_open2(context.get(), decoder, nullptr);
                decoded.decoderOpened = result >= 0;
                if (!decoded.decoderOpened) {
                    media.errors.push_back(std::string("avcodec_open2 ") + decoder->name + ": " + av_text(result));
                    context.reset();
                }
            }
        }
        media.streams.push_back(decoded);
        decoders.push_back(std::move(context));
    }

    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    auto receive = [&](unsigned index) {
        AVCodecContext* context = decoders[index].get();
        DecodedStream& decoded = media.streams[index];
        const AVRational timeBase = format->streams[index]->time_base;
        for (;;) {
            const int got = avcodec_receive_frame(context, frame.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
            if (got < 0) {
                media.errors.push_back("avcodec_receive_frame: " + av_text(got));
                return;
            }
            ++decoded.frames;
            if (decoded.type == AVMEDIA_TYPE_AUDIO) {
                decoded.samples += frame->nb_samples;
                decoded.channels = frame->ch_layout.nb_channels;
                decoded.sampleRate = frame->sample_rate;
            } else {
                decoded.width = frame->width;
                decoded.height = frame->height;
                const int64_t pts = frame->best_effort_timestamp;
                decoded.pictureTimes.push_back(pts == AV_NOPTS_VALUE ? std::nan("") : double(pts) * av_q2d(timeBase));
            }
            av_frame_unref(frame.get());
        }
    };
    auto send = [&](unsigned index, const AVPacket* data) {
        if (index >= decoders.size() || !decoders[index]) return;
        const int sent = avcodec_send_packet(decoders[index].get(), data);
        if (sent < 0 && sent != AVERROR_EOF) {
            media.errors.push_back("avcodec_send_packet: " + av_text(sent));
            return;
        }
        receive(index);
    };

    for (;;) {
        result = av_read_frame(format.get(), packet.get());
        if (result == AVERROR_EOF) break;
        if (result < 0) {
            media.errors.push_back("av_read_frame: " + av_text(result));
            break;
        }
        send(unsigned(packet->stream_index), packet.get());
        av_packet_unref(packet.get());
    }
    for (unsigned i = 0; i < decoders.size(); ++i) send(i, nullptr);
    return media;
}

}  // namespace media
