#include "support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace writer_test {
namespace {

std::vector<Message> g_messages;
int g_decoderErrors = 0;
bool g_countDecoderErrors = false;

void ffmpeg_log(void* object, int level, const char* format, va_list args) {
    if (g_countDecoderErrors && level <= AV_LOG_ERROR) ++g_decoderErrors;
    if (level > AV_LOG_WARNING) return;
    av_log_default_callback(object, level, format, args);
}

struct QuietFFmpeg {
    // av_dump_format and the encoders' chatter would drown the test output.
    QuietFFmpeg() { av_log_set_callback(ffmpeg_log); }
} g_quiet;

std::string tag(const AVDictionary* dictionary, const char* key) {
    const AVDictionaryEntry* entry = av_dict_get(dictionary, key, nullptr, 0);
    return entry ? entry->value : "";
}

}  // namespace

const std::vector<Message>& messages() { return g_messages; }
void clear_messages() { g_messages.clear(); }
void record_message(int32_t level, const char* text) { g_messages.push_back({level, text}); }

bool logged(const std::string& text, int32_t level) {
    return std::any_of(g_messages.begin(), g_messages.end(),
                       [&](const Message& m) { return m.level == level && m.text == text; });
}

int count_logged(const std::string& text) {
    return int(std::count_if(g_messages.begin(), g_messages.end(),
                             [&](const Message& m) { return m.text.find(text) != std::string::npos; }));
}

std::vector<uint16_t> host_picture(int width, int height, int channels, int frame) {
    std::vector<uint16_t> pixels(size_t(width) * size_t(height) * size_t(channels));
    const double low = 0.08 * 65535.0, span = 0.84 * 65535.0;
    std::vector<uint16_t> across(static_cast<size_t>(width)), wave(static_cast<size_t>(width + height));
    for (int x = 0; x < width; ++x) across[size_t(x)] = uint16_t(low + span * ((x + 2 * frame) % width) / width);
    for (int d = 0; d < width + height; ++d)
        wave[size_t(d)] = uint16_t(low + span * (0.5 + 0.5 * std::sin((d + 2 * frame) * 0.02)));
    for (int y = 0; y < height; ++y) {
        const auto down = uint16_t(low + span * y / height);
        uint16_t* p = &pixels[size_t(y) * size_t(width) * size_t(channels)];
        for (int x = 0; x < width; ++x, p += channels) {
            p[0] = across[size_t(x)];
            p[1] = down;
            p[2] = wave[size_t(x + y)];
            if (channels == 4) p[3] = 65535;
        }
    }
    return pixels;
}

std::string scratch_dir(const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(QEL_BUILD_DIR) / "test_writer_files" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

WriterSettings video_settings(const char* container, const char* codec, int width, int height, int channels) {
    WriterSettings settings;
    settings.containerName = container;
    settings.videoCodecName = codec;
    settings.width = width;
    settings.height = height;
    settings.frameRate = 25.0;
    settings.inPixelFormat = channels == 4 ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE;
    settings.outPixelFormat = AV_PIX_FMT_NONE;
    settings.fieldOrder = AV_FIELD_PROGRESSIVE;
    settings.timecode = "01:00:00:00";
    return settings;
}

DecodedFile decode_file(const std::string& path, int rgbEvery) {
    DecodedFile result;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return result;
    g_decoderErrors = 0;
    g_countDecoderErrors = true;
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* sws = nullptr;
    int videoIndex = -1;

    auto collect = [&]() {
        for (;;) {
            const int r = avcodec_receive_frame(decoder, frame);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
            if (r < 0) {
                ++result.errors;
                return;
            }
            if (frame->decode_error_flags) ++result.errors;
            DecodedFrame decoded{frame->pts, frame->key_frame != 0 || frame->pict_type == AV_PICTURE_TYPE_I, {}};
            if (result.colorRange < 0) {
                result.colorRange = frame->color_range;
                result.colorSpace = frame->colorspace;
            }
            if (rgbEvery > 0 && result.frames.size() % size_t(rgbEvery) == 0) {
                // Read the picture as a player would: by the tags it carries,
                // unknown range meaning limited.
                if (!sws) {
                    sws =
                        sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), frame->width,
                                       frame->height, AV_PIX_FMT_RGB48LE,
                                       SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
                    const int space =
                        frame->colorspace != AVCOL_SPC_UNSPECIFIED ? frame->colorspace : decoder->colorspace;
                    sws_setColorspaceDetails(sws, sws_getCoefficients(space),
                                             frame->color_range == AVCOL_RANGE_JPEG ? 1 : 0,
                                             sws_getCoefficients(SWS_CS_ITU709), 1, 0, 1 << 16, 1 << 16);
                }
                decoded.rgb.resize(size_t(frame->width) * size_t(frame->height) * 3);
                uint8_t* planes[4] = {reinterpret_cast<uint8_t*>(decoded.rgb.data()), nullptr, nullptr, nullptr};
                int strides[4] = {frame->width * 6, 0, 0, 0};
                sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
            }
            result.frames.push_back(std::move(decoded));
            av_frame_unref(frame);
        }
    };

    if (avformat_find_stream_info(format, nullptr) >= 0) {
        videoIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        const AVDictionaryEntry* entry = nullptr;
        while ((entry = av_dict_get(format->metadata, "", entry, AV_DICT_IGNORE_SUFFIX)))
            result.containerTags.emplace_back(entry->key, entry->value);
        result.anyTimecode = tag(format->metadata, "timecode");
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (result.anyTimecode.empty()) result.anyTimecode = tag(format->streams[i]->metadata, "timecode");
    }
    if (videoIndex >= 0) {
        const AVStream* stream = format->streams[videoIndex];
        result.streamEncoder = tag(stream->metadata, "encoder");
        result.streamTimecode = tag(stream->metadata, "timecode");
        result.fieldOrder = stream->codecpar->field_order;
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        decoder = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoder, stream->codecpar);
        decoder->thread_count = 1;
        if (avcodec_open2(decoder, codec, nullptr) >= 0) {
            result.opened = true;
            while (av_read_frame(format, packet) >= 0) {
                if (packet->stream_index == videoIndex) {
                    if (avcodec_send_packet(decoder, packet) < 0) ++result.errors;
                    collect();
                }
                av_packet_unref(packet);
            }
            avcodec_send_packet(decoder, nullptr);
            collect();
        }
    }
    g_countDecoderErrors = false;
    result.errors += g_decoderErrors;
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
    return result;
}

double level_error(const std::vector<uint16_t>& decodedRgb, const std::vector<uint16_t>& hostPicture, int width,
                   int height, int channels) {
    // Block means: coding noise averages out, a shift of levels does not.
    constexpr int BLOCK = 8;
    double worst = 0;
    for (int c = 0; c < 3; ++c) {
        double sum = 0;
        int blocks = 0;
        for (int by = 0; by + BLOCK <= height; by += BLOCK)
            for (int bx = 0; bx + BLOCK <= width; bx += BLOCK) {
                double decoded = 0, host = 0;
                for (int y = by; y < by + BLOCK; ++y)
                    for (int x = bx; x < bx + BLOCK; ++x) {
                        const size_t pixel = size_t(y) * size_t(width) + size_t(x);
                        decoded += decodedRgb[pixel * 3 + size_t(c)];
                        host += hostPicture[pixel * size_t(channels) + size_t(c)];
                    }
                sum += std::abs(decoded - host) / (BLOCK * BLOCK);
                ++blocks;
            }
        worst = std::max(worst, sum / blocks / 65535.0);
    }
    return worst;
}

std::string probe_field_order(const std::string& path) {
    const std::string command =
        "ffprobe -v error -select_streams v:0 -show_entries stream=field_order -of csv=p=0 '" + path + "'";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
        pclose(pipe);
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r' || output.back() == ','))
        output.pop_back();
    return output;
}

}  // namespace writer_test
