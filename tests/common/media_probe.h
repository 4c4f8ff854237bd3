// What FFmpeg's own demuxers and decoders find in a written file.
#pragma once

#include "base/compat.h"
#include "base/ffmpeg_ptr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/log.h>
#include <libavutil/md5.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

namespace probe {

// Keys compare without case: containers store tag names differently.
struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};
using Tags = std::map<std::string, std::string, NoCase>;

struct Stream {
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID id = AV_CODEC_ID_NONE;
    std::string codec;
    int profile = AV_PROFILE_UNKNOWN;
    int width = 0, height = 0;  // of the decoded pictures where there are any
    int sample_rate = 0, channels = 0;
    Tags tags;
    int pixel_format = AV_PIX_FMT_NONE;  // as stored
};

// A decoded video frame; `rgb` is filled for every `rgb_every`-th one.
struct Frame {
    int64_t pts;
    bool key;
    std::vector<uint16_t> rgb;  // RGB48 read by the frame's own colour tags
    int field_order = AV_FIELD_PROGRESSIVE;  // as the decoder read the picture: TT, BB or progressive
    double time = 0;  // in seconds; NaN for none
};

struct Options {
    bool pictures = false;  // keep every picture as RGBA64, read without its colour tags
    int rgb_every = 0;      // every n-th picture as RGB48 as a player sees it (0: none)
    int64_t keep_from = 0;  // audio samples kept from this one on; all are counted
    bool log_errors = false;  // FFmpeg's error-level messages while reading are errors
    bool hashes = false;      // the first video stream's packets and pictures as MD5 sums
};
inline const Options WITH_PICTURES = {true};

struct File {
    bool opened = false;
    std::string format;
    Tags tags;
    std::vector<Stream> streams;  // every stream; every video and audio one decoded
    // The first video stream: key flags of the packets in presentation order,
    // the frames the decoder gave, and each one as RGBA64 when asked for.
    std::vector<bool> keys;
    int64_t video_frames = 0;
    std::vector<Frame> frames;  // in presentation order
    int color_range = -1, color_space = -1;  // of the first decoded frame
    int64_t video_bytes = 0;   // packet payload of the video stream
    std::string x264_options;  // the text x264 leaves in its first SEI
    std::vector<std::vector<uint16_t>> pictures;
    // With `hashes`: each video packet's payload in stored order; each decoded
    // picture's planes, after its timestamp, in presentation order.
    std::vector<std::string> packet_hashes, picture_hashes;
    double video_seconds = 0;  // from the stream's start to the end of its last packet
    // The first audio stream: samples per channel the decoder gave, each
    // channel's samples in [-1, 1) from `keep_from` on, where the first frame
    // starts and where the container says the last packet ends.
    int sample_rate = 0;
    int64_t audio_samples = 0;
    std::vector<std::vector<double>> samples;
    double audio_start = 0;
    int64_t audio_end_samples = 0;
    // FFmpeg's error-level messages, failed calls and damaged frames.
    std::vector<std::string> errors;

    const Stream* first(AVMediaType type) const {
        for (const Stream& s : streams)
            if (s.type == type) return &s;
        return nullptr;
    }
    int count(AVMediaType type) const {
        return int(std::count_if(streams.begin(), streams.end(), [type](const Stream& s) { return s.type == type; }));
    }
    double audio_seconds() const { return sample_rate ? double(audio_samples) / sample_rate : 0; }
    std::string error_text() const {
        std::string text;
        for (const std::string& error : errors) text += (text.empty() ? "" : "; ") + error;
        return text;
    }
    static std::string in(const Tags& from, const std::string& key) {
        auto it = from.find(key);
        return it == from.end() ? "" : it->second;
    }
    // A tag of the container or of any stream.
    std::string tag(const std::string& key) const {
        std::string value = in(tags, key);
        for (size_t i = 0; value.empty() && i < streams.size(); ++i) value = in(streams[i].tags, key);
        return value;
    }
    std::string container_tag(const std::string& key) const { return in(tags, key); }
    std::string video_tag(const std::string& key) const {
        const Stream* video = first(AVMEDIA_TYPE_VIDEO);
        return video ? in(video->tags, key) : "";
    }
};

inline std::string md5_of(const uint8_t* data, size_t size) {
    uint8_t sum[16];
    av_md5_sum(sum, data, size);
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : sum) text += {hex[byte >> 4], hex[byte & 15]};
    return text;
}

inline Tags read_tags(const AVDictionary* dictionary) {
    Tags tags;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(dictionary, "", entry, AV_DICT_IGNORE_SUFFIX))) tags[entry->key] = entry->value;
    return tags;
}

namespace detail {

inline std::mutex log_mutex;
inline std::vector<std::string>* log_sink = nullptr;

// Error-level messages go to the reading file's list; warnings and worse are
// shown as FFmpeg would, the encoders' chatter is not.
inline void log_line(void* object, int level, const char* format, va_list args) {
    if (level <= AV_LOG_ERROR) {
        va_list copy;
        va_copy(copy, args);
        char line[1024];
        int prefix = 1;
        av_log_format_line2(object, level, format, copy, line, sizeof line, &prefix);
        va_end(copy);
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::lock_guard<std::mutex> lock(log_mutex);
        if (log_sink) log_sink->push_back(text);
    }
    if (level <= AV_LOG_WARNING) av_log_default_callback(object, level, format, args);
}

// One reader at a time keeps FFmpeg's messages while the guard lives.
struct ErrorCapture {
    explicit ErrorCapture(std::vector<std::string>* sink) {
        if (!sink) return;
        av_log_set_callback(log_line);
        std::lock_guard<std::mutex> lock(log_mutex);
        log_sink = sink;
    }
    ~ErrorCapture() {
        std::lock_guard<std::mutex> lock(log_mutex);
        log_sink = nullptr;
    }
};

struct InputClose {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

inline std::string av_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace detail

// Decodes every video and audio stream of the file whole, experimental
// decoders allowed (the module writes with experimental encoders too).
inline File read(const std::string& path, const Options& options = {}) {
    using detail::av_text;
    File file;
    detail::ErrorCapture capture(options.log_errors ? &file.errors : nullptr);
    AVFormatContext* opened = nullptr;
    if (int result = avformat_open_input(&opened, path.c_str(), nullptr, nullptr); result < 0) {
        file.errors.push_back("avformat_open_input: " + av_text(result));
        return file;
    }
    const std::unique_ptr<AVFormatContext, detail::InputClose> owner(opened);
    AVFormatContext* input = opened;
    std::vector<AVDictionary*> probing(input->nb_streams, nullptr);
    for (AVDictionary*& o : probing) av_dict_set(&o, "strict", "experimental", 0);
    const int found = avformat_find_stream_info(input, probing.empty() ? nullptr : probing.data());
    for (AVDictionary*& o : probing) av_dict_free(&o);
    if (found < 0) {
        file.errors.push_back("avformat_find_stream_info: " + av_text(found));
        return file;
    }
    file.opened = true;
    file.format = input->iformat->name;
    file.tags = read_tags(input->metadata);

    std::vector<CodecContextPtr> decoders(input->nb_streams);
    int video = -1, audio = -1;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters& parameters = *input->streams[i]->codecpar;
        const Stream s{parameters.codec_type, parameters.codec_id, avcodec_get_name(parameters.codec_id),
                       parameters.profile, parameters.width, parameters.height, parameters.sample_rate,
                       parameters.ch_layout.nb_channels, read_tags(input->streams[i]->metadata)};
        const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
        file.streams.push_back(s);
        if (s.type == AVMEDIA_TYPE_VIDEO) file.streams.back().pixel_format = parameters.format;
        if (!codec || (s.type != AVMEDIA_TYPE_VIDEO && s.type != AVMEDIA_TYPE_AUDIO)) continue;
        decoders[i].reset(avcodec_alloc_context3(codec));
        AVCodecContext* context = decoders[i].get();
        avcodec_parameters_to_context(context, &parameters);
        context->pkt_timebase = input->streams[i]->time_base;
        context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
        if (options.log_errors) context->thread_count = 1;  // messages in order
        if (int result = avcodec_open2(context, codec, nullptr); result < 0) {
            file.errors.push_back(std::string("avcodec_open2 ") + codec->name + ": " + av_text(result));
            decoders[i].reset();
            continue;
        }
        int& first = s.type == AVMEDIA_TYPE_VIDEO ? video : audio;
        if (first < 0) first = int(i);
    }
    if (audio >= 0) file.sample_rate = file.streams[size_t(audio)].sample_rate;

    std::vector<std::pair<int64_t, bool>> packets;  // pts and key flag
    int64_t videoEnd = 0;
    bool audioStarted = false;
    const PacketPtr packetOwner(av_packet_alloc());
    const FramePtr frameOwner(av_frame_alloc());
    AVPacket* packet = packetOwner.get();
    AVFrame* frame = frameOwner.get();
    SwsContextPtr scaler, player;
    SwrContextPtr toDouble;
    auto take_audio = [&](AVCodecContext* context) {
        if (!audioStarted && frame->pts != AV_NOPTS_VALUE) {
            file.audio_start = double(frame->pts) * av_q2d(context->pkt_timebase);
            audioStarted = true;
        }
        const int channels = frame->ch_layout.nb_channels;
        if (!toDouble) {
            SwrContext* made = nullptr;
            swr_alloc_set_opts2(&made, &frame->ch_layout, AV_SAMPLE_FMT_DBLP, frame->sample_rate, &frame->ch_layout,
                                AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
            toDouble.reset(made);
            swr_init(made);
            file.samples.resize(size_t(channels));
        }
        std::vector<std::vector<double>> planes(size_t(channels), std::vector<double>(size_t(frame->nb_samples)));
        std::vector<uint8_t*> out(static_cast<size_t>(channels));
        for (int c = 0; c < channels; ++c) out[size_t(c)] = reinterpret_cast<uint8_t*>(planes[size_t(c)].data());
        const int got = swr_convert(toDouble.get(), out.data(), frame->nb_samples,
                                    const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        if (got < 0 || size_t(channels) != file.samples.size()) {
            file.errors.push_back("audio frame not convertible");
            return;
        }
        const int64_t skip = std::min<int64_t>(got, std::max<int64_t>(0, options.keep_from - file.audio_samples));
        for (size_t c = 0; c < size_t(channels); ++c)
            file.samples[c].insert(file.samples[c].end(), planes[c].begin() + skip, planes[c].begin() + got);
        file.audio_samples += got;
    };
    auto take_video = [&](AVCodecContext* context) {
        ++file.video_frames;
        if (file.frames.empty()) {
            file.color_range = frame->color_range;
            file.color_space = frame->colorspace;
        }
        Frame decoded{frame->pts, ffcompat::is_key_frame(frame) || frame->pict_type == AV_PICTURE_TYPE_I, {}};
        const int64_t pts = frame->best_effort_timestamp;
        decoded.time = pts == AV_NOPTS_VALUE ? std::nan("") : double(pts) * av_q2d(context->pkt_timebase);
        if (ffcompat::is_interlaced(frame))
            decoded.field_order = ffcompat::is_top_field_first(frame) ? AV_FIELD_TT : AV_FIELD_BB;
        if (options.rgb_every > 0 && file.frames.size() % size_t(options.rgb_every) == 0) {
            // Unknown range means limited, as players take it. Bicubic: FFmpeg
            // 9.0's bilinear full-chroma writer of 16-bit RGB zeroes whole rows.
            if (!player) {
                player.reset(sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                        frame->height, AV_PIX_FMT_RGB48LE,
                                        SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                                        nullptr));
                const int space = frame->colorspace != AVCOL_SPC_UNSPECIFIED ? frame->colorspace : context->colorspace;
                sws_setColorspaceDetails(player.get(), sws_getCoefficients(space),
                                         frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0,
                                         sws_getCoefficients(SWS_CS_ITU709), 1, 0, 1 << 16, 1 << 16);
            }
            decoded.rgb.resize(size_t(frame->width) * size_t(frame->height) * 3);
            uint8_t* target[4] = {reinterpret_cast<uint8_t*>(decoded.rgb.data())};
            const int stride[4] = {frame->width * 6};
            sws_scale(player.get(), frame->data, frame->linesize, 0, frame->height, target, stride);
        }
        file.frames.push_back(std::move(decoded));
        if (options.hashes) {
            const AVPixelFormat format = AVPixelFormat(frame->format);
            std::vector<uint8_t> planes(size_t(std::max(0, av_image_get_buffer_size(format, frame->width, frame->height, 1))));
            if (planes.empty() || av_image_copy_to_buffer(planes.data(), int(planes.size()), frame->data, frame->linesize,
                                                          format, frame->width, frame->height, 1) < 0)
                file.errors.push_back("picture not hashable");
            file.picture_hashes.push_back(std::to_string(frame->pts) + " " + md5_of(planes.data(), planes.size()));
        }
        if (options.pictures) {
            scaler.reset(sws_getCachedContext(scaler.release(), frame->width, frame->height,
                                              AVPixelFormat(frame->format), frame->width, frame->height,
                                              AV_PIX_FMT_RGBA64LE, SWS_POINT, nullptr, nullptr, nullptr));
            std::vector<uint16_t> picture(size_t(frame->width) * size_t(frame->height) * 4);
            uint8_t* target[4] = {reinterpret_cast<uint8_t*>(picture.data())};
            const int stride[4] = {frame->width * 8};
            if (!scaler || sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, target, stride) <= 0)
                file.errors.push_back("picture not convertible");
            file.pictures.push_back(std::move(picture));
        }
    };
    auto take = [&](int index) {
        AVCodecContext* context = decoders[size_t(index)].get();
        Stream& stream = file.streams[size_t(index)];
        for (;;) {
            const int result = avcodec_receive_frame(context, frame);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
            if (result < 0) {
                file.errors.push_back("avcodec_receive_frame: " + av_text(result));
                return;
            }
            if (frame->decode_error_flags) file.errors.push_back("damaged frame");
            if (stream.type == AVMEDIA_TYPE_AUDIO) {
                stream.channels = frame->ch_layout.nb_channels;
                stream.sample_rate = frame->sample_rate;
                if (index == audio) take_audio(context);
            } else {
                stream.width = frame->width;
                stream.height = frame->height;
                if (index == video) take_video(context);
            }
            av_frame_unref(frame);
        }
    };
    auto send = [&](int index, const AVPacket* data) {
        if (index < 0 || size_t(index) >= decoders.size() || !decoders[size_t(index)]) return;
        const int sent = avcodec_send_packet(decoders[size_t(index)].get(), data);
        if (sent < 0 && sent != AVERROR_EOF) file.errors.push_back("avcodec_send_packet: " + av_text(sent));
        take(index);
    };
    for (;;) {
        const int result = av_read_frame(input, packet);
        // RoQ's demuxer says EIO where the file ends.
        if (result == AVERROR_EOF || (result == AVERROR(EIO) && input->pb && avio_feof(input->pb))) break;
        if (result < 0) {
            file.errors.push_back("av_read_frame: " + av_text(result));
            break;
        }
        const int index = packet->stream_index;
        const AVStream* stream = input->streams[index];
        if (index == video) {
            packets.emplace_back(packet->pts, (packet->flags & AV_PKT_FLAG_KEY) != 0);
            file.video_bytes += packet->size;
            if (options.hashes) file.packet_hashes.push_back(md5_of(packet->data, size_t(packet->size)));
            if (packets.size() == 1) {
                const char* begin = reinterpret_cast<const char*>(packet->data);
                const char* end = begin + packet->size;
                const char marker[] = "options: ";
                const char* at = std::search(begin, end, marker, marker + sizeof marker - 1);
                if (at != end) file.x264_options.assign(at, std::find(at, end, '\0'));
            }
            const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
            if (packet->pts != AV_NOPTS_VALUE)
                videoEnd = std::max(videoEnd, av_rescale_q(packet->pts + packet->duration - start, stream->time_base,
                                                           AVRational{1, 1000000}));
        } else if (index == audio && packet->pts != AV_NOPTS_VALUE && file.sample_rate > 0) {
            // A last packet may say in side data how much of its decoded
            // frame to drop (FFmpeg 9.0's mov reader; its duration may be
            // whole or already shortened): then the frame's end, less that.
            size_t skipSize = 0;
            const uint8_t* skip = av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &skipSize);
            const int64_t dropped = skip && skipSize >= 8 ? int64_t(AV_RL32(skip + 4)) : 0;
            const AVRational samples{1, file.sample_rate};
            const int64_t end =
                dropped > 0 && stream->codecpar->frame_size > 0
                    ? av_rescale_q(packet->pts, stream->time_base, samples) + stream->codecpar->frame_size - dropped
                    : av_rescale_q(packet->pts + packet->duration, stream->time_base, samples);
            file.audio_end_samples = std::max(file.audio_end_samples, end);
        }
        send(index, packet);
        av_packet_unref(packet);
    }
    for (int i = 0; i < int(decoders.size()); ++i) send(i, nullptr);
    std::stable_sort(packets.begin(), packets.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& p : packets) file.keys.push_back(p.second);
    file.video_seconds = double(videoEnd) / 1e6;
    return file;
}

// Pictures `encoder` takes before its first packet, opened as the file's first
// video stream was written: threads as many as the machine has and, for x264,
// the settings it recorded in the stream. What a crash takes from an encoder;
// -1 where it cannot be opened so.
inline int encoder_delay(const std::string& encoder, const File& file) {
    const Stream* video = file.first(AVMEDIA_TYPE_VIDEO);
    const AVCodec* codec = avcodec_find_encoder_by_name(encoder.c_str());
    const CodecContextPtr context(codec && video ? avcodec_alloc_context3(codec) : nullptr);
    if (!context) return -1;
    context->width = video->width, context->height = video->height;
    context->pix_fmt = AVPixelFormat(video->pixel_format);
    context->time_base = AVRational{1, 25};
    AVDictionary* options = nullptr;
    av_dict_set(&options, "threads", "auto", 0);
    std::string x264;  // the recorded settings that decide its delay
    for (const std::string key : {" threads=", " lookahead_threads=", " sliced_threads=", " bframes=", " b_adapt=",
                                  " rc_lookahead=", " keyint=", " mbtree="})
        if (const size_t at = file.x264_options.find(key); at != std::string::npos)
            x264 += file.x264_options.substr(at + 1, file.x264_options.find(' ', at + 1) - at - 1) + ":";
    if (!x264.empty()) av_dict_set(&options, "x264-params", x264.c_str(), 0);
    const int opened = avcodec_open2(context.get(), codec, &options);
    av_dict_free(&options);
    const FramePtr frame(av_frame_alloc());
    const PacketPtr packet(av_packet_alloc());
    frame->format = context->pix_fmt, frame->width = context->width, frame->height = context->height;
    if (opened < 0 || av_frame_get_buffer(frame.get(), 0) < 0) return -1;
    const ptrdiff_t lines[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], frame->linesize[3]};
    if (av_image_fill_black(frame->data, lines, context->pix_fmt, AVCOL_RANGE_MPEG, frame->width, frame->height) < 0)
        return -1;
    for (int sent = 0; sent < 1000; ++sent) {
        frame->pts = sent;
        if (avcodec_send_frame(context.get(), frame.get()) < 0) return -1;
        if (avcodec_receive_packet(context.get(), packet.get()) == 0) return sent;
    }
    return -1;
}

// Indices of the true entries.
inline std::vector<int> key_frames(const File& file) {
    std::vector<int> keys;
    for (size_t i = 0; i < file.keys.size(); ++i)
        if (file.keys[i]) keys.push_back(int(i));
    return keys;
}

}  // namespace probe
