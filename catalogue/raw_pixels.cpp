// Raw pictures a container cannot carry. Some store a pixel format under a
// tag no reader takes (mov's yuv420p and 16-bit RGB), others under one that
// reads back as another format (mov's yuv422p as rgb555be): FFmpeg writes
// such files without a word. Each pair is found out by writing one small
// picture to memory and reading it back, once per process.
#include "availability.h"

#include "base/compat.h"
#include "base/ffmpeg_ptr.h"
#include "base/quiet_log.h"
#include "trial_cache.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int IO_BUFFER = 4096;

// A file in memory that a muxer may seek in (mov writes its index last) and a
// demuxer reads back.
struct MemoryFile {
    std::vector<uint8_t> bytes;
    size_t position = 0;

    static int write(void* opaque, ffcompat::WrittenBytes data, int size) {
        auto* file = static_cast<MemoryFile*>(opaque);
        if (file->bytes.size() < file->position + size_t(size)) file->bytes.resize(file->position + size_t(size));
        std::memcpy(file->bytes.data() + file->position, data, size_t(size));
        file->position += size_t(size);
        return size;
    }
    static int read(void* opaque, uint8_t* data, int size) {
        auto* file = static_cast<MemoryFile*>(opaque);
        const size_t count = std::min(size_t(size), file->bytes.size() - std::min(file->position, file->bytes.size()));
        if (count == 0) return AVERROR_EOF;
        std::memcpy(data, file->bytes.data() + file->position, count);
        file->position += count;
        return int(count);
    }
    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* file = static_cast<MemoryFile*>(opaque);
        whence &= ~AVSEEK_FORCE;
        if (whence == AVSEEK_SIZE) return int64_t(file->bytes.size());
        const int64_t base = whence == SEEK_CUR ? int64_t(file->position) : whence == SEEK_END ? int64_t(file->bytes.size()) : 0;
        if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
        if (base + offset < 0) return AVERROR(EINVAL);
        file->position = size_t(base + offset);
        return base + offset;
    }
};

struct IoFree {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
using IoPtr = std::unique_ptr<AVIOContext, IoFree>;

IoPtr memory_io(MemoryFile& file, bool writing) {
    auto* buffer = static_cast<uint8_t*>(av_malloc(IO_BUFFER));
    if (!buffer) return nullptr;
    AVIOContext* io = avio_alloc_context(buffer, IO_BUFFER, writing ? 1 : 0, &file, writing ? nullptr : MemoryFile::read,
                                         writing ? MemoryFile::write : nullptr, MemoryFile::seek);
    if (!io) av_free(buffer);
    return IoPtr(io);
}

constexpr int WIDTH = 64, HEIGHT = 48;

// One black picture of the format through the encoder: its packet, or null.
PacketPtr encode_one(const AVCodec& codec, AVPixelFormat format, CodecContextPtr& context) {
    context.reset(avcodec_alloc_context3(&codec));
    FramePtr frame(av_frame_alloc());
    PacketPtr packet(av_packet_alloc());
    if (!context || !frame || !packet) return nullptr;
    quiet_log(*context);
    context->width = frame->width = WIDTH;
    context->height = frame->height = HEIGHT;
    context->pix_fmt = format;
    frame->format = format;
    context->time_base = AVRational{1, 25};
    if (avcodec_open2(context.get(), &codec, nullptr) < 0 || av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    for (AVBufferRef* buffer : frame->buf)
        if (buffer) std::memset(buffer->data, 0, buffer->size);
    frame->pts = 0;
    if (avcodec_send_frame(context.get(), frame.get()) < 0 || avcodec_send_frame(context.get(), nullptr) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0)
        return nullptr;
    return packet;
}

bool write_file(const AVOutputFormat& muxer, const AVCodecContext& encoder, AVPacket& packet, MemoryFile& file) {
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, &muxer, nullptr, nullptr) < 0 || !raw) return false;
    FormatContextPtr context(raw);
    quiet_log(*context);
    IoPtr io = memory_io(file, true);
    AVStream* stream = avformat_new_stream(context.get(), nullptr);
    if (!io || !stream || avcodec_parameters_from_context(stream->codecpar, &encoder) < 0) return false;
    stream->time_base = encoder.time_base;
    context->pb = io.get();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    packet.stream_index = 0;
    packet.duration = 1;  // else mov's edit list leaves the picture out
    av_packet_rescale_ts(&packet, encoder.time_base, stream->time_base);
    const bool written = avformat_write_header(context.get(), nullptr) >= 0 &&
                         av_write_frame(context.get(), &packet) >= 0 && av_write_trailer(context.get()) >= 0;
    avio_flush(io.get());
    context->pb = nullptr;
    return written;
}

// The format the file's first picture decodes to, or NONE when no reader takes it.
AVPixelFormat read_back(MemoryFile& file) {
    file.position = 0;
    IoPtr io = memory_io(file, false);
    AVFormatContext* raw = avformat_alloc_context();
    if (!io || !raw) {
        avformat_free_context(raw);
        return AV_PIX_FMT_NONE;
    }
    quiet_log(*raw);
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&raw, nullptr, nullptr, nullptr) < 0) return AV_PIX_FMT_NONE;  // frees it
    InputContextPtr context(raw);
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    if (!packet || !frame || context->nb_streams != 1 || av_read_frame(context.get(), packet.get()) < 0)
        return AV_PIX_FMT_NONE;
    const AVCodecParameters* parameters = context->streams[0]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
    CodecContextPtr decoding(decoder ? avcodec_alloc_context3(decoder) : nullptr);
    if (!decoding) return AV_PIX_FMT_NONE;
    quiet_log(*decoding);
    if (avcodec_parameters_to_context(decoding.get(), parameters) < 0 ||
        avcodec_open2(decoding.get(), decoder, nullptr) < 0 || avcodec_send_packet(decoding.get(), packet.get()) < 0 ||
        avcodec_send_packet(decoding.get(), nullptr) < 0 || avcodec_receive_frame(decoding.get(), frame.get()) < 0)
        return AV_PIX_FMT_NONE;
    return AVPixelFormat(frame->format);
}

const char* probe_raw_pixels(const AVOutputFormat& muxer, const AVCodec& codec, AVPixelFormat format) {
    CodecContextPtr encoder;
    PacketPtr packet = encode_one(codec, format, encoder);
    MemoryFile file;
    // What neither the encoder nor the muxer takes is refused at open, with its own message.
    if (!packet || !write_file(muxer, *encoder, *packet, file)) return nullptr;
    const AVPixelFormat decoded = read_back(file);
    if (decoded == format) return nullptr;
    if (decoded == AV_PIX_FMT_NONE) return "the container stores these pictures so that no reader takes them back";
    // Texts live as long as the process, as FFmpeg's own do.
    static TrialCache<AVPixelFormat, std::string> others;
    return others
        .find(decoded,
              [decoded] {
                  return std::string("the container stores these pictures so that they read back as ") +
                         av_get_pix_fmt_name(decoded);
              })
        .c_str();
}

}  // namespace

const char* muxer_misreads_pixels(const AVOutputFormat& muxer, const AVCodec& codec, int32_t pixel_format) {
    if (codec.id != AV_CODEC_ID_RAWVIDEO) return nullptr;
    static TrialCache<std::tuple<std::string, std::string, int32_t>, const char*> known;
    return known.find(std::make_tuple(std::string(muxer.name), std::string(codec.name), pixel_format),
                      [&] { return probe_raw_pixels(muxer, codec, AVPixelFormat(pixel_format)); });
}

void mark_pixel_formats(const AVOutputFormat& muxer, const char* encoder_name, ChoiceList& formats) {
    const AVCodec* codec = encoder_name ? avcodec_find_encoder_by_name(encoder_name) : nullptr;
    if (!codec) return;
    for (ChoiceEntry& entry : formats) {
        entry.unavailable = muxer_misreads_pixels(muxer, *codec, entry.value);
        if (!entry.unavailable) continue;
        entry.label = marked_label(entry.label, MARK_REFUSED);
    }
}
