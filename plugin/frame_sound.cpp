// A frame's slice of the host's sound, read into the buffer the output keeps
// and handed to the writer.
#include "frame_sound.h"

#include "base/host_services.h"
#include "base/log.h"
#include "writer/FFWriter.h"
#include "writer/settings/frame_rate.h"

#include <cmath>
#include <cstring>
#include <cstdlib>

HostAudioFormat host_audio_format() {
    HostAudioFormat audio;
    auto format = suite_entry<QelNodeAudioFormat>(g_suites.node, NODE_AUDIO_FORMAT);
    audio.present = format && format(&audio.sample_rate, &audio.bits_per_sample, &audio.bytes_per_sample,
                                     &audio.channels, &audio.flags);
    return audio;
}

namespace {

// Sample numbers a double holds exactly.
constexpr double MAX_SAMPLE_INDEX = 9007199254740992.0;  // 2^53

// Silence of the host's sample layout: unsigned 8-bit samples rest at 128.
void fill_silence(uint8_t* data, size_t bytes, int32_t bitsPerSample) {
    std::memset(data, bitsPerSample <= 8 ? 0x80 : 0, bytes);
}

}  // namespace

bool write_frame_sound(PluginState& state, const QEL_FrameParams& params, bool& writerFailed) {
    writerFailed = false;
    const AudioSlicing& audio = state.audio;
    const double rate = audio.sample_rate;
    // A frame so far from the timeline's start that its samples cannot be
    // counted exactly (or no number at all) has no slice of the host's sound.
    if (!(std::fabs(rate * (std::fabs(params.frame) + 1) / audio.fps) < MAX_SAMPLE_INDEX)) {
        log_to(default_log_sink, LOG_ERROR, "QelFFmpegWriter: frame %g has no place in the host's sound", params.frame);
        state.frame_failed = true;
        return false;
    }
    const int64_t start = first_sample_of(params.frame, rate, audio.fps);
    const int64_t end = first_sample_of(params.frame + 1, rate, audio.fps);
    if (end <= start) return true;
    const uint64_t count = uint64_t(end - start);
    const size_t frameBytes = size_t(audio.channels) * size_t(audio.bytes_per_sample);
    const size_t bufferSize = frameBytes * count;
    // Skipping the slice would shift all later sound against the pictures.
    // The buffer is kept for the output: it grows at most to the longest
    // slice. malloc, not new: a slice too large for memory is an answer here.
    if (bufferSize > state.sound_slice_size) {
        state.sound_slice.reset();
        state.sound_slice_size = 0;
        auto* grown = static_cast<uint8_t*>(std::malloc(bufferSize));
        if (!grown) {
            host_log(LOG_ERROR, "QelFFmpegWriter: memory allocation error (audio samples)");
            state.frame_failed = true;
            return false;
        }
        state.sound_slice.reset(grown);
        state.sound_slice_size = bufferSize;
    }
    uint8_t* buffer = state.sound_slice.get();

    int64_t delivered = 0;
    if (auto read = suite_entry<QelNodeReadAudio>(g_suites.node, NODE_READ_AUDIO))
        delivered = read(rate, audio.bits_per_sample, audio.bytes_per_sample, audio.flags, audio.channel_mask,
                         params.frame / audio.fps, int64_t(count), buffer, int64_t(bufferSize));
    if (delivered < 0) delivered = 0;
    if (uint64_t(delivered) > count) delivered = int64_t(count);
    // A short delivery is padded with silence so sound and pictures stay in step.
    fill_silence(buffer + size_t(delivered) * frameBytes, size_t(count - uint64_t(delivered)) * frameBytes,
                 audio.bits_per_sample);

    writerFailed = !state.writer->writeAudio(buffer, int64_t(bufferSize));
    return !writerFailed;
}

