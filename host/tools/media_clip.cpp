#include "media_clip.h"

#include "decode_ahead.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cmath>
#include <memory>

namespace qelhost {
namespace {

// The host's own owners of what it decodes with. Input contexts end with
// avformat_close_input, which also lets the demuxer free what it holds.
struct InputFree {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct SwsFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct SwrFree {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrFree>;

std::string error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// One stream of a file with its own demuxer and decoder, giving frames in
// order. Video and sound each get one, so neither queues the other's packets.
class StreamDecoder {
public:
    bool open(const std::string& path, AVMediaType type, std::string& error) {
        AVFormatContext* input = nullptr;
        int result = avformat_open_input(&input, path.c_str(), nullptr, nullptr);
        if (result < 0) {
            error = path + ": " + error_text(result);
            return false;
        }
        m_input.reset(input);
        result = avformat_find_stream_info(input, nullptr);
        if (result < 0) {
            error = path + ": " + error_text(result);
            return false;
        }
        const AVCodec* decoder = nullptr;
        m_index = av_find_best_stream(input, type, -1, -1, &decoder, 0);
        if (m_index < 0 || !decoder) {
            error = path + (m_index == AVERROR_DECODER_NOT_FOUND ? ": no decoder for its " : ": no ") +
                    av_get_media_type_string(type) + " stream";
            return false;
        }
        for (unsigned i = 0; i < input->nb_streams; ++i)
            if (int(i) != m_index) input->streams[i]->discard = AVDISCARD_ALL;
        m_stream = input->streams[m_index];
        m_codec.reset(avcodec_alloc_context3(decoder));
        m_packet.reset(av_packet_alloc());
        m_frame.reset(av_frame_alloc());
        if (!m_codec || !m_packet || !m_frame) {
            error = "out of memory";
            return false;
        }
        result = avcodec_parameters_to_context(m_codec.get(), m_stream->codecpar);
        if (result >= 0) {
            m_codec->pkt_timebase = m_stream->time_base;
            m_codec->thread_count = 0;
            result = avcodec_open2(m_codec.get(), decoder, nullptr);
        }
        if (result < 0) {
            error = path + ": cannot open the " + decoder->name + " decoder: " + error_text(result);
            return false;
        }
        return true;
    }

    // The next decoded frame (valid until the next call), or null at the end.
    AVFrame* next() {
        while (!m_ended) {
            const int result = avcodec_receive_frame(m_codec.get(), m_frame.get());
            if (result == 0) return m_frame.get();
            if (result != AVERROR(EAGAIN)) break;
            feed();
        }
        m_ended = true;
        return nullptr;
    }

    AVStream* stream() const { return m_stream; }
    AVCodecContext* codec() const { return m_codec.get(); }
    AVFormatContext* input() const { return m_input.get(); }

private:
    // One packet of the stream into the decoder, or the end of the stream.
    void feed() {
        for (;;) {
            if (av_read_frame(m_input.get(), m_packet.get()) < 0) {
                avcodec_send_packet(m_codec.get(), nullptr);
                return;
            }
            const bool ours = m_packet->stream_index == m_index;
            // A damaged packet is skipped as a player would.
            const int result = ours ? avcodec_send_packet(m_codec.get(), m_packet.get()) : -1;
            av_packet_unref(m_packet.get());
            if (ours && result >= 0) return;
        }
    }

    InputPtr m_input;
    CodecContextPtr m_codec;
    PacketPtr m_packet;
    FramePtr m_frame;
    AVStream* m_stream = nullptr;
    int m_index = -1;
    bool m_ended = false;
};

// Packets of the stream, counted without decoding: the frame count of files
// whose header does not give it.
int64_t count_packets(const std::string& path, int streamIndex) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return 0;
    InputPtr input(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0 || streamIndex >= int(raw->nb_streams)) return 0;
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        if (int(i) != streamIndex) raw->streams[i]->discard = AVDISCARD_ALL;
    PacketPtr packet(av_packet_alloc());
    int64_t count = 0;
    while (packet && av_read_frame(raw, packet.get()) >= 0) {
        if (packet->stream_index == streamIndex) ++count;
        av_packet_unref(packet.get());
    }
    return count;
}

// The full-range twins that libswscale wants named by their plain format.
AVPixelFormat plain_format(int format, bool& fullRange) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
    default: return AVPixelFormat(format);
    }
}

// The host's own converter: bilinear when the size changes, and libswscale's
// slice threads, so the media path keeps pace with the encoder.
SwsContextPtr make_scaler(const AVFrame& frame, AVPixelFormat source, int width, int height, AVPixelFormat target) {
    SwsContextPtr context(sws_alloc_context());
    SwsContext* sws = context.get();
    const bool configured =
        sws && av_opt_set_int(sws, "srcw", frame.width, 0) >= 0 && av_opt_set_int(sws, "srch", frame.height, 0) >= 0 &&
        av_opt_set_int(sws, "src_format", source, 0) >= 0 && av_opt_set_int(sws, "dstw", width, 0) >= 0 &&
        av_opt_set_int(sws, "dsth", height, 0) >= 0 && av_opt_set_int(sws, "dst_format", target, 0) >= 0 &&
        av_opt_set_int(sws, "sws_flags", SWS_BILINEAR, 0) >= 0 && av_opt_set_int(sws, "threads", 0, 0) >= 0 &&
        sws_init_context(sws, nullptr, nullptr) >= 0;
    return configured ? std::move(context) : nullptr;
}

void keep_samples(void*, uint8_t*) {}

}  // namespace

struct MediaClip::Video {
    StreamDecoder decoder;
    int32_t width = 0;
    int32_t height = 0;
    double fps = 25;
    int64_t frames = 0;
    int64_t next = 0;
    int64_t held = 0;
    bool havePicture = false;
    SwsContextPtr scaler;
    FramePtr target{av_frame_alloc()};  // the host picture, lent to the scaler
    int sourceWidth = 0, sourceHeight = 0, sourceFormat = -1;
    int32_t targetChannels = 0;
    // Last, so that its thread stops before what it uses goes.
    std::unique_ptr<DecodeAhead> ahead;
    int32_t aheadChannels = 0;

    // The next picture of the file, converted into `samples`. On the
    // decode-ahead thread: touches nothing the requests' thread does.
    DecodeAhead::Made make(std::vector<uint16_t>& samples, int32_t channels) {
        const AVFrame* decoded = decoder.next();
        if (!decoded) return DecodeAhead::Made::end;
        if (!target || !prepare_scaler(*decoded, channels)) return DecodeAhead::Made::failure;
        // Straight into the buffer: the threaded interface wants a
        // reference-counted target, so the samples are lent, not copied.
        const int stride = int(width * channels * int(sizeof(uint16_t)));
        auto* bytes = reinterpret_cast<uint8_t*>(samples.data());
        target->format = channels == 4 ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE;
        target->width = width;
        target->height = height;
        target->data[0] = bytes;
        target->linesize[0] = stride;
        target->buf[0] = av_buffer_create(bytes, size_t(stride) * size_t(height), keep_samples, nullptr, 0);
        const int result = target->buf[0] ? sws_scale_frame(scaler.get(), target.get(), decoded) : AVERROR(ENOMEM);
        av_buffer_unref(&target->buf[0]);
        return result < 0 ? DecodeAhead::Made::failure : DecodeAhead::Made::picture;
    }

    bool prepare_scaler(const AVFrame& frame, int32_t channels) {
        if (scaler && frame.width == sourceWidth && frame.height == sourceHeight && frame.format == sourceFormat &&
            channels == targetChannels)
            return true;
        bool fullRange = frame.color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat source = plain_format(frame.format, fullRange);
        const AVPixelFormat target = channels == 4 ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE;
        scaler = make_scaler(frame, source, width, height, target);
        if (!scaler) return false;
        const int space = frame.colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : int(frame.colorspace);
        const int* coefficients = sws_getCoefficients(space);
        sws_setColorspaceDetails(scaler.get(), coefficients, fullRange, coefficients, 1, 0, 1 << 16, 1 << 16);
        sourceWidth = frame.width;
        sourceHeight = frame.height;
        sourceFormat = frame.format;
        targetChannels = channels;
        return true;
    }
};

struct MediaClip::Audio {
    StreamDecoder decoder;
    SwrContextPtr resampler;
    AVChannelLayout layout{};
    double rate = 0;
    int32_t channels = 0;
    std::vector<float> held;  // interleaved samples from index `base` on
    int64_t base = 0;
    bool ended = false;

    ~Audio() { av_channel_layout_uninit(&layout); }

    bool prepare_resampler(const AVFrame& frame) {
        if (resampler) return true;
        SwrContext* raw = nullptr;
        // FFmpeg 5.1 takes the input layout through a pointer to non-const.
        auto* input = const_cast<AVChannelLayout*>(&frame.ch_layout);
        if (swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_FLT, int(rate), input, AVSampleFormat(frame.format),
                                frame.sample_rate, 0, nullptr) < 0)
            return false;
        resampler.reset(raw);
        return swr_init(raw) >= 0;
    }

    // Appends what the resampler gives for `frame` (null: what it still holds).
    void append(const AVFrame* frame) {
        const int in = frame ? frame->nb_samples : 0;
        const int room = swr_get_out_samples(resampler.get(), in);
        if (room <= 0) return;
        const size_t old = held.size();
        held.resize(old + size_t(room) * size_t(channels));
        auto* out = reinterpret_cast<uint8_t*>(held.data() + old);
        const int made = swr_convert(resampler.get(), &out, room,
                                     frame ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, in);
        held.resize(old + size_t(std::max(made, 0)) * size_t(channels));
    }

    // Decodes until sample `index` is held; false when the sound ends first.
    bool reach(int64_t index) {
        while (index >= base + int64_t(held.size()) / channels) {
            if (ended) return false;
            const AVFrame* frame = decoder.next();
            if (frame && !prepare_resampler(*frame)) frame = nullptr;
            if (!frame) {
                ended = true;
                if (resampler) append(nullptr);
                continue;
            }
            append(frame);
        }
        return true;
    }

    double sample(int channel, int64_t index) {
        if (index < base || channel >= channels || !reach(index)) return 0;
        // Reads move forward only; drop what lies a second behind.
        if (index - base > int64_t(rate)) {
            held.erase(held.begin(), held.begin() + (index - base) * channels);
            base = index;
        }
        return held[size_t((index - base) * channels + channel)];
    }
};

MediaClip::MediaClip() = default;
MediaClip::~MediaClip() = default;

std::unique_ptr<MediaClip> MediaClip::open(const std::string& path, const MediaClipOptions& options,
                                           std::string& error) {
    std::unique_ptr<MediaClip> clip(new MediaClip);
    clip->m_cuts = options.cuts;
    clip->m_video = std::make_unique<Video>();
    Video& video = *clip->m_video;
    if (!video.decoder.open(path, AVMEDIA_TYPE_VIDEO, error)) return nullptr;

    const AVStream& stream = *video.decoder.stream();
    const AVCodecContext& codec = *video.decoder.codec();
    video.width = options.width > 0 ? options.width : codec.width;
    video.height = options.height > 0 ? options.height : codec.height;
    if (video.width <= 0 || video.height <= 0) {
        error = path + ": the picture size is unknown";
        return nullptr;
    }
    AVRational rate = stream.avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = stream.r_frame_rate;
    video.fps = options.fps > 0 ? options.fps : (rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 25.0);
    video.frames = stream.nb_frames > 0 ? stream.nb_frames : count_packets(path, stream.index);
    if (options.frames >= 0) video.frames = std::min(video.frames, options.frames);

    if (options.audio_channels != 0) {
        auto audio = std::make_shared<Audio>();
        std::string audioError;
        if (audio->decoder.open(path, AVMEDIA_TYPE_AUDIO, audioError)) {
            const AVCodecContext& decoder = *audio->decoder.codec();
            const AVStream& sound = *audio->decoder.stream();
            audio->rate = options.audio_rate > 0 ? options.audio_rate : double(decoder.sample_rate);
            audio->channels = options.audio_channels > 0 ? options.audio_channels : decoder.ch_layout.nb_channels;
            if (audio->channels == decoder.ch_layout.nb_channels &&
                decoder.ch_layout.order != AV_CHANNEL_ORDER_UNSPEC)
                av_channel_layout_copy(&audio->layout, &decoder.ch_layout);
            else
                av_channel_layout_default(&audio->layout, audio->channels);
            if (audio->rate <= 0 || audio->channels <= 0) {
                error = path + ": the sound has no rate or no channels";
                return nullptr;
            }

            AudioClip sound_clip;
            sound_clip.rate = audio->rate;
            sound_clip.channels = audio->channels;
            sound_clip.bits = options.audio_bits > 0                 ? options.audio_bits
                              : decoder.bits_per_raw_sample > 24     ? 32
                              : decoder.bits_per_raw_sample > 16     ? 24
                                                                     : 16;
            sound_clip.bytes = (sound_clip.bits + 7) / 8;
            if (sound.duration != AV_NOPTS_VALUE && sound.duration > 0)
                sound_clip.length = av_rescale_q(sound.duration, sound.time_base, AVRational{1, int(audio->rate)});
            sound_clip.sample = [audio](int channel, int64_t index) { return audio->sample(channel, index); };
            clip->m_audio = audio;
            clip->m_audioClip = std::move(sound_clip);
        }
    }
    return clip;
}

int32_t MediaClip::width() const { return m_video->width; }
int32_t MediaClip::height() const { return m_video->height; }
double MediaClip::fps() const { return m_video->fps; }
int64_t MediaClip::frame_count() const { return m_video->frames; }
std::optional<AudioClip> MediaClip::audio() const { return m_audioClip; }
std::vector<double> MediaClip::cuts() const { return m_cuts; }
int64_t MediaClip::held_frames() const { return m_video->held; }

bool MediaClip::draw(int64_t frame, Picture& picture) {
    Video& video = *m_video;
    if (frame != video.next || picture.width() != video.width || picture.height() != video.height ||
        picture.channels() < 3 || (video.ahead && picture.channels() != video.aheadChannels))
        return false;
    ++video.next;
    if (!video.ahead) {
        // Two pictures ahead: the one being made and the next request's.
        const int32_t channels = picture.channels();
        video.aheadChannels = channels;
        video.ahead = std::make_unique<DecodeAhead>(picture.sample_count(), 2,
            [&video, channels](std::vector<uint16_t>& samples) { return video.make(samples, channels); });
    }
    std::vector<uint16_t> samples;
    const DecodeAhead::Made made = video.ahead->take(samples);
    if (made == DecodeAhead::Made::picture) {
        picture.swap_samples(samples);
        video.ahead->give_back(std::move(samples));
    }
    if (made == DecodeAhead::Made::failure) return false;
    if (made == DecodeAhead::Made::end) {
        // Fewer pictures than the file announced: hold the last one.
        ++video.held;
        return video.havePicture;
    }
    video.havePicture = true;
    return true;
}

}  // namespace qelhost
