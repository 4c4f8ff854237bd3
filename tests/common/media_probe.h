// What FFmpeg's own demuxers and decoders find in a written file.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdint>
#include <map>
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
    std::string codec;
    int profile = FF_PROFILE_UNKNOWN;
    int width = 0, height = 0;
    int sample_rate = 0, channels = 0;
    Tags tags;
};

// A decoded video frame; `rgb` is filled for every `rgb_every`-th one.
struct Frame {
    int64_t pts;
    bool key;
    std::vector<uint16_t> rgb;  // RGB48 read by the frame's own colour tags
};

struct File {
    bool opened = false;
    std::string format;
    Tags tags;
    std::vector<Stream> streams;
    // Video: key flags of the packets in presentation order, the frames the
    // decoder gave, and each one as RGBA64 when asked for.
    std::vector<bool> keys;
    int64_t video_frames = 0;
    std::vector<Frame> frames;  // in presentation order
    int color_range = -1, color_space = -1;  // of the first decoded frame
    int64_t video_bytes = 0;   // packet payload of the video stream
    std::string x264_options;  // the text x264 leaves in its first SEI
    std::vector<std::vector<uint16_t>> pictures;
    double video_seconds = 0;  // last presentation time plus its duration
    // Audio: samples per channel the decoder gave, and the first channel of them.
    int64_t audio_samples = 0;
    std::vector<float> first_channel;
    int errors = 0;  // calls that failed while reading and decoding, damaged frames

    const Stream* first(AVMediaType type) const {
        for (const Stream& s : streams)
            if (s.type == type) return &s;
        return nullptr;
    }
    int count(AVMediaType type) const {
        return int(std::count_if(streams.begin(), streams.end(), [type](const Stream& s) { return s.type == type; }));
    }
    // A tag of the container or of any stream.
    std::string tag(const std::string& key) const {
        if (auto it = tags.find(key); it != tags.end()) return it->second;
        for (const Stream& s : streams)
            if (auto it = s.tags.find(key); it != s.tags.end()) return it->second;
        return "";
    }
    std::string container_tag(const std::string& key) const {
        auto it = tags.find(key);
        return it == tags.end() ? "" : it->second;
    }
    std::string video_tag(const std::string& key) const {
        const Stream* video = first(AVMEDIA_TYPE_VIDEO);
        if (!video) return "";
        auto it = video->tags.find(key);
        return it == video->tags.end() ? "" : it->second;
    }
};

inline Tags read_tags(const AVDictionary* dictionary) {
    Tags tags;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(dictionary, "", entry, AV_DICT_IGNORE_SUFFIX))) tags[entry->key] = entry->value;
    return tags;
}

// Sample i of the first channel, in [-1, 1], for the formats the tests write.
inline float first_channel(const AVFrame& frame, int i) {
    const AVSampleFormat format = AVSampleFormat(frame.format);
    const int at = av_sample_fmt_is_planar(format) ? i : i * frame.ch_layout.nb_channels;
    const uint8_t* data = frame.data[0];
    switch (av_get_packed_sample_fmt(format)) {
    case AV_SAMPLE_FMT_S16: return float(reinterpret_cast<const int16_t*>(data)[at]) / 32768.0f;
    case AV_SAMPLE_FMT_S32: return float(reinterpret_cast<const int32_t*>(data)[at]) / 2147483648.0f;
    case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float*>(data)[at];
    default: return 0;
    }
}

struct Decoder {
    AVCodecContext* context = nullptr;
    ~Decoder() { avcodec_free_context(&context); }
};

// Every frame is counted; `keep_pictures` keeps each as RGBA64 read without
// its colour tags, `rgb_every` (0: none) every n-th as a player would see it.
inline File read(const std::string& path, bool keep_pictures = false, int rgb_every = 0) {
    File file;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) return file;
    if (avformat_find_stream_info(input, nullptr) < 0) {
        avformat_close_input(&input);
        return file;
    }
    file.opened = true;
    file.format = input->iformat->name;
    file.tags = read_tags(input->metadata);

    std::vector<Decoder> decoders(input->nb_streams);
    int video = -1, audio = -1;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters& parameters = *input->streams[i]->codecpar;
        Stream s;
        s.type = parameters.codec_type;
        s.codec = avcodec_get_name(parameters.codec_id);
        s.profile = parameters.profile;
        s.width = parameters.width;
        s.height = parameters.height;
        s.sample_rate = parameters.sample_rate;
        s.channels = parameters.ch_layout.nb_channels;
        s.tags = read_tags(input->streams[i]->metadata);
        file.streams.push_back(s);
        const bool wanted = (s.type == AVMEDIA_TYPE_VIDEO && video < 0) || (s.type == AVMEDIA_TYPE_AUDIO && audio < 0);
        const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
        if (!wanted || !codec) continue;
        AVCodecContext* context = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(context, &parameters);
        context->pkt_timebase = input->streams[i]->time_base;
        decoders[i].context = context;
        if (avcodec_open2(context, codec, nullptr) < 0) {
            ++file.errors;
            continue;
        }
        (s.type == AVMEDIA_TYPE_VIDEO ? video : audio) = int(i);
    }

    struct Presented {
        int64_t pts;
        bool key;
    };
    std::vector<Presented> packets;
    int64_t videoEnd = 0;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* scaler = nullptr;
    SwsContext* player = nullptr;
    auto take = [&](int index) {
        AVCodecContext* context = decoders[size_t(index)].context;
        for (;;) {
            const int result = avcodec_receive_frame(context, frame);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
            if (result < 0) {
                ++file.errors;
                return;
            }
            if (frame->decode_error_flags) ++file.errors;
            if (index == video) {
                ++file.video_frames;
                if (file.frames.empty()) {
                    file.color_range = frame->color_range;
                    file.color_space = frame->colorspace;
                }
                Frame decoded{frame->pts, frame->key_frame != 0 || frame->pict_type == AV_PICTURE_TYPE_I, {}};
                if (rgb_every > 0 && file.frames.size() % size_t(rgb_every) == 0) {
                    // Unknown range means limited, as players take it.
                    if (!player) {
                        player = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format),
                                                frame->width, frame->height, AV_PIX_FMT_RGB48LE,
                                                SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                                nullptr, nullptr);
                        const int space =
                            frame->colorspace != AVCOL_SPC_UNSPECIFIED ? frame->colorspace : context->colorspace;
                        sws_setColorspaceDetails(player, sws_getCoefficients(space),
                                                 frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0,
                                                 sws_getCoefficients(SWS_CS_ITU709), 1, 0, 1 << 16, 1 << 16);
                    }
                    decoded.rgb.resize(size_t(frame->width) * size_t(frame->height) * 3);
                    uint8_t* target[4] = {reinterpret_cast<uint8_t*>(decoded.rgb.data())};
                    const int stride[4] = {frame->width * 6};
                    sws_scale(player, frame->data, frame->linesize, 0, frame->height, target, stride);
                }
                file.frames.push_back(std::move(decoded));
                if (keep_pictures) {
                    scaler = sws_getCachedContext(scaler, frame->width, frame->height, AVPixelFormat(frame->format),
                                                  frame->width, frame->height, AV_PIX_FMT_RGBA64LE, SWS_POINT,
                                                  nullptr, nullptr, nullptr);
                    std::vector<uint16_t> picture(size_t(frame->width) * size_t(frame->height) * 4);
                    uint8_t* target[4] = {reinterpret_cast<uint8_t*>(picture.data())};
                    const int stride[4] = {frame->width * 8};
                    if (!scaler ||
                        sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, target, stride) <= 0)
                        ++file.errors;
                    file.pictures.push_back(std::move(picture));
                }
            } else {
                file.audio_samples += frame->nb_samples;
                for (int i = 0; i < frame->nb_samples; ++i) file.first_channel.push_back(first_channel(*frame, i));
            }
        }
    };
    while (av_read_frame(input, packet) >= 0) {
        const int index = packet->stream_index;
        if (index == video) {
            packets.push_back({packet->pts, (packet->flags & AV_PKT_FLAG_KEY) != 0});
            file.video_bytes += packet->size;
            if (packets.size() == 1) {
                const char* begin = reinterpret_cast<const char*>(packet->data);
                const char* end = begin + packet->size;
                const char marker[] = "options: ";
                const char* found = std::search(begin, end, marker, marker + sizeof marker - 1);
                if (found != end) file.x264_options.assign(found, std::find(found, end, '\0'));
            }
            const AVRational base = input->streams[index]->time_base;
            videoEnd = std::max(videoEnd, av_rescale_q(packet->pts + packet->duration, base, AVRational{1, 1000000}));
        }
        if (index == video || index == audio) {
            if (avcodec_send_packet(decoders[size_t(index)].context, packet) < 0) ++file.errors;
            take(index);
        }
        av_packet_unref(packet);
    }
    for (int index : {video, audio}) {
        if (index < 0) continue;
        avcodec_send_packet(decoders[size_t(index)].context, nullptr);
        take(index);
    }
    std::stable_sort(packets.begin(), packets.end(),
                     [](const Presented& a, const Presented& b) { return a.pts < b.pts; });
    for (const Presented& p : packets) file.keys.push_back(p.key);
    file.video_seconds = double(videoEnd) / 1e6;

    sws_freeContext(scaler);
    sws_freeContext(player);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&input);
    return file;
}

// Indices of the true entries.
inline std::vector<int> key_frames(const File& file) {
    std::vector<int> keys;
    for (size_t i = 0; i < file.keys.size(); ++i)
        if (file.keys[i]) keys.push_back(int(i));
    return keys;
}

}  // namespace probe
