// The audio sample path: host blocks are resampled into the FIFO and leave it
// in frames of the encoder's size; at close the resampler and the FIFO are
// emptied into the file before the encoder is drained.
#include "writer/FFWriter.h"

#include "base/error_text.h"
#include "base/log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <climits>

namespace {

constexpr const char* AUDIO_STOPPED = "QelFFmpegWriter: audio stopped by an earlier error; no further audio is written";

}  // namespace

bool FFWriter::writeAudio(const void* data, int64_t size) {
    if (!m_isOpen || !m_hasAudio) return false;
    if (m_soundAsIs) return !data || size == 0 || writeSoundAsIs(data, size);
    if (!data || size == 0) return drainAudio();
    // An audio reset released the buffers; the output goes on without sound.
    if (!m_audioBuffers) {
        log(LOG_ERROR, "%s", AUDIO_STOPPED);
        return false;
    }

    const int64_t frameBytes =
        int64_t(av_get_bytes_per_sample(AVSampleFormat(m_inSampleFormat))) * m_inChannelLayout.nb_channels;
    const int64_t inSamples = frameBytes > 0 && size > 0 ? size / frameBytes : 0;
    if (inSamples == 0) return true;
    if (inSamples > INT_MAX / 4) {
        log(LOG_ERROR, "QelFFmpegWriter: could not allocate audio data buffers");
        return false;
    }

    const uint8_t* input[1] = {static_cast<const uint8_t*>(data)};
    return resampleIntoFifo(input, int(inSamples)) && encodeAudioFifo(false);
}

bool FFWriter::drainAudio() {
    if (!m_isOpen || !m_hasAudio) return false;
    if (!m_audioBuffers) {
        log(LOG_ERROR, "%s", AUDIO_STOPPED);
        return false;
    }
    // Whatever the resampler still holds and the FIFO's last partial frame
    // belong to the file too.
    if (!resampleIntoFifo(nullptr, 0) || !padAudioTail() || !encodeAudioFifo(true)) return false;
    // An encoder that never had a sample has nothing to finish (FFmpeg's
    // vorbis would hand out empty packets for ever).
    if (m_audioSampleCount == 0) return true;
    if (!encodeAndWrite(m_audioCodecContext.get(), m_audioStream, nullptr, m_audioLastDts, false)) {
        resetAudio();
        return false;
    }
    return true;
}

// Converts `inSamples` interleaved host samples (or, with null input, what the
// resampler still holds) and appends them to the FIFO.
bool FFWriter::resampleIntoFifo(const uint8_t** input, int inSamples) {
    const int outSamples = swr_get_out_samples(m_swrContext.get(), inSamples);
    if (outSamples < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: Error while converting sample formats: %s", ffmpeg_error_text(outSamples));
        resetAudio();
        return false;
    }
    if (!m_audioFifo) {
        m_audioFifo.reset(av_audio_fifo_alloc(AVSampleFormat(m_outSampleFormat), m_outChannelLayout.nb_channels,
                                              outSamples > 0 ? outSamples : 1));
        if (!m_audioFifo) {
            log(LOG_ERROR, "QelFFmpegWriter: could not allocate audio data buffers");
            return false;
        }
    }
    if (outSamples == 0) return true;

    if (!growAudioBuffers(outSamples)) return false;

    const int converted = swr_convert(m_swrContext.get(), m_audioBuffers.get(), outSamples, input, inSamples);
    if (converted < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: Error while converting sample formats: %s", ffmpeg_error_text(converted));
        resetAudio();
        return false;
    }
    return converted == 0 || writeAudioBuffersToFifo(converted);
}

bool FFWriter::growAudioBuffers(int samples) {
    if (samples <= m_audioBufferSamples) return true;
    // The planes only grow: one block for all of them, behind the first pointer.
    av_freep(&m_audioBuffers.get()[0]);
    m_audioBufferSamples = 0;
    const int result = av_samples_alloc(m_audioBuffers.get(), nullptr, m_outChannelLayout.nb_channels, samples,
                                        AVSampleFormat(m_outSampleFormat), 1);
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: could not allocate audio data buffers: %s", ffmpeg_error_text(result));
        resetAudio();
        return false;
    }
    m_audioBufferSamples = samples;
    return true;
}

bool FFWriter::writeAudioBuffersToFifo(int samples) {
    const int written = av_audio_fifo_write(m_audioFifo.get(), reinterpret_cast<void**>(m_audioBuffers.get()), samples);
    if (written < samples) {
        log(LOG_ERROR, "QelFFmpegWriter: Error writing to the audio buffer: %s",
            ffmpeg_error_text(written < 0 ? written : AVERROR(ENOMEM)));
        resetAudio();
        return false;
    }
    return true;
}

// Encoders such as mp2 and ac3 give one packet for each frame they take, yet
// their sound decodes `initial_padding` samples late and they keep nothing back
// to drain: without that much silence after it, the end of the sound would
// never reach the file.
bool FFWriter::padAudioTail() {
    const int padding = m_audioCodecContext->initial_padding;
    if (padding <= 0 || (m_audioCodec->capabilities & AV_CODEC_CAP_DELAY)) return true;
    if (m_audioSampleCount == 0 && av_audio_fifo_size(m_audioFifo.get()) <= 0) return true;  // no sound at all
    if (!growAudioBuffers(padding)) return false;
    av_samples_set_silence(m_audioBuffers.get(), 0, padding, m_outChannelLayout.nb_channels,
                           AVSampleFormat(m_outSampleFormat));
    return writeAudioBuffersToFifo(padding);
}

// Encodes every whole encoder frame in the FIFO. With `last`, the remainder
// goes too: as a short frame where the encoder takes one, else padded with
// silence to a full frame.
bool FFWriter::encodeAudioFifo(bool last) {
    const int frameSize = m_audioCodecContext->frame_size;
    const bool takesShortFrame =
        frameSize <= 0 ||
        (m_audioCodec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
    for (;;) {
        const int available = av_audio_fifo_size(m_audioFifo.get());
        if (available <= 0) return true;
        // Encoders without a fixed frame size take all there is.
        if (frameSize <= 0) {
            if (!sendAudioFrame(available, available)) return false;
            continue;
        }
        if (available >= frameSize) {
            if (!sendAudioFrame(frameSize, frameSize)) return false;
            continue;
        }
        if (!last) return true;  // waits for the next block
        return sendAudioFrame(available, takesShortFrame ? available : frameSize);
    }
}

// The output's frame of sound for `frameSamples`, its buffer writable.
AVFrame* FFWriter::audioFrameFor(int frameSamples) {
    AVFrame* frame = m_audioFrame.get();
    if (frame && frame->nb_samples == frameSamples && av_frame_make_writable(frame) >= 0) return frame;
    AVCodecContext* context = m_audioCodecContext.get();
    m_audioFrame.reset(av_frame_alloc());
    frame = m_audioFrame.get();
    if (!frame) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return nullptr;
    }
    frame->nb_samples = frameSamples;
    frame->format = context->sample_fmt;
    frame->sample_rate = context->sample_rate;
    int result = av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
    if (result >= 0) result = av_frame_get_buffer(frame, 0);
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: Audio encoding failed: %s", ffmpeg_error_text(result));
        m_audioFrame.reset();
        return nullptr;
    }
    return frame;
}

// Sends `samples` from the FIFO as one frame of `frameSamples` (the rest silence).
bool FFWriter::sendAudioFrame(int samples, int frameSamples) {
    AVCodecContext* context = m_audioCodecContext.get();
    AVFrame* frame = audioFrameFor(frameSamples);
    if (!frame) {
        resetAudio();
        return false;
    }
    const int read = av_audio_fifo_read(m_audioFifo.get(), reinterpret_cast<void**>(frame->extended_data), samples);
    if (read < samples) {
        log(LOG_ERROR, "QelFFmpegWriter: Audio encoding failed: %s",
            ffmpeg_error_text(read < 0 ? read : AVERROR_BUG));
        resetAudio();
        return false;
    }
    if (frameSamples > samples)
        av_samples_set_silence(frame->extended_data, samples, frameSamples - samples,
                               frame->ch_layout.nb_channels, AVSampleFormat(frame->format));

    // Measured as the encoder takes it; the silence that fills a last frame is no sound of the render.
    if (m_quality) m_quality->addSound(*frame, samples);
    // Timestamps count samples at the output rate, the encoder's time base.
    frame->pts = m_audioSampleCount;
    m_audioSampleCount += frameSamples;
    if (!encodeAndWrite(context, m_audioStream, frame, m_audioLastDts, false)) {
        resetAudio();
        return false;
    }
    return true;
}

// After a failure: the samples waiting are dropped and the buffers released;
// later audio calls for this output fail at once.
void FFWriter::resetAudio() {
    m_audioFifo.reset();
    m_audioBuffers.reset();
    m_audioBufferSamples = 0;
}
