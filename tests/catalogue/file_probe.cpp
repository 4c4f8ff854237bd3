#include "file_probe.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstring>

VideoStreamFacts probe_video(const std::string& path) {
    VideoStreamFacts facts;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return facts;
    if (avformat_find_stream_info(format, nullptr) < 0) {
        avformat_close_input(&format);
        return facts;
    }
    const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) {
        avformat_close_input(&format);
        return facts;
    }
    facts.opened = true;
    AVStream* stream = format->streams[index];
    const AVCodecParameters* parameters = stream->codecpar;
    facts.profile = parameters->profile;
    if (const char* name = avcodec_profile_name(parameters->codec_id, parameters->profile)) facts.profile_name = name;

    const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
    AVCodecContext* context = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(context, parameters);
    const bool decoding = avcodec_open2(context, decoder, nullptr) >= 0;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int64_t first_dts = AV_NOPTS_VALUE, end_dts = AV_NOPTS_VALUE;
    std::vector<std::pair<int64_t, bool>> keys;
    auto drain = [&] {
        while (avcodec_receive_frame(context, frame) >= 0) ++facts.decoded_frames;
    };
    while (av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == index) {
            keys.emplace_back(packet->pts, packet->flags & AV_PKT_FLAG_KEY);
            facts.payload_bytes += packet->size;
            if (first_dts == AV_NOPTS_VALUE) first_dts = packet->dts;
            end_dts = packet->dts + packet->duration;
            if (keys.size() == 1) {
                const char* begin = reinterpret_cast<const char*>(packet->data);
                const char* end = begin + packet->size;
                const char marker[] = "options: ";
                const char* found = std::search(begin, end, marker, marker + sizeof marker - 1);
                if (found != end) facts.x264_options.assign(found, std::find(found, end, '\0'));
            }
            if (decoding && avcodec_send_packet(context, packet) >= 0) drain();
        }
        av_packet_unref(packet);
    }
    if (decoding && avcodec_send_packet(context, nullptr) >= 0) drain();
    std::sort(keys.begin(), keys.end());
    for (const auto& key : keys) facts.key_frames.push_back(key.second);
    if (first_dts != AV_NOPTS_VALUE) facts.duration_seconds = (end_dts - first_dts) * av_q2d(stream->time_base);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    avformat_close_input(&format);
    return facts;
}
