// Owners for FFmpeg objects: each frees with FFmpeg's own function, so a
// forgotten release path cannot leak and a second release is harmless.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/buffer.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

struct FormatContextFree {
    // Closes the file too when the context opened one; a caller's own I/O is the caller's.
    void operator()(AVFormatContext* context) const {
        if (context->pb && !(context->flags & AVFMT_FLAG_CUSTOM_IO) &&
            !(context->oformat && (context->oformat->flags & AVFMT_NOFILE)))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};
// A demuxer's context: its own close frees what the demuxer read.
struct InputContextFree {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsFree {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};
struct SwrFree {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
struct AudioFifoFree {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
// The pool goes when its last buffer comes back, so an encoder may still
// hold pictures when the writer lets go of it.
struct BufferPoolFree {
    void operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
};
struct AvFree {
    void operator()(void* block) const { av_free(block); }
};
// The resampler's plane array: its first plane holds the one sample block
// that av_samples_alloc made for all planes.
struct AudioPlanesFree {
    void operator()(uint8_t** planes) const {
        av_freep(&planes[0]);
        av_free(planes);
    }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextFree>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrFree>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoFree>;
using BufferPtr = std::unique_ptr<uint8_t, AvFree>;
using BufferPoolPtr = std::unique_ptr<AVBufferPool, BufferPoolFree>;
using AudioPlanesPtr = std::unique_ptr<uint8_t*, AudioPlanesFree>;

// An owned AVDictionary; FFmpeg's setters want the address of the pointer.
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { reset(); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    AVDictionary** address() { return &m_dictionary; }
    AVDictionary* get() const { return m_dictionary; }
    void reset() { av_dict_free(&m_dictionary); }

private:
    AVDictionary* m_dictionary = nullptr;
};
