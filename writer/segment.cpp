// A segment's own steps: the host's sound kept as it came, for the join to
// code once over the whole movie (so that it joins without a seam), and the
// manifest written before the segment takes its name.
#include "writer/FFWriter.h"
#include "writer/movie_file/segment_files.h"

#include "base/disk_flush.h"
#include "base/error_text.h"
#include "base/log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

AVCodecID pcm_of(int32_t sampleFormat) {
    switch (sampleFormat) {
    case AV_SAMPLE_FMT_U8: return AV_CODEC_ID_PCM_U8;
    case AV_SAMPLE_FMT_S16: return AV_CODEC_ID_PCM_S16LE;
    case AV_SAMPLE_FMT_S32: return AV_CODEC_ID_PCM_S32LE;
    case AV_SAMPLE_FMT_FLT: return AV_CODEC_ID_PCM_F32LE;
    default: return AV_CODEC_ID_NONE;
    }
}

}  // namespace

bool FFWriter::openSoundAsIs() {
    // What an audio encoder that never had a sample holds: nothing.
    m_audioCodecContext.reset();
    const AVCodecID codec = pcm_of(m_inSampleFormat);
    const int bytes = av_get_bytes_per_sample(AVSampleFormat(m_inSampleFormat));
    AVCodecParameters* parameters = m_audioStream->codecpar;
    if (codec == AV_CODEC_ID_NONE || bytes <= 0 || m_inSampleRate <= 0) {
        log(LOG_ERROR, "QelFFmpegWriter: a segment cannot keep %s sound",
            av_get_sample_fmt_name(AVSampleFormat(m_inSampleFormat)) ? av_get_sample_fmt_name(AVSampleFormat(m_inSampleFormat)) : "this");
        return false;
    }
    av_freep(&parameters->extradata);
    parameters->extradata_size = 0;
    parameters->codec_type = AVMEDIA_TYPE_AUDIO;
    parameters->codec_id = codec;
    parameters->codec_tag = 0;
    parameters->format = m_inSampleFormat;
    parameters->sample_rate = m_inSampleRate;
    parameters->bits_per_coded_sample = bytes * 8;
    parameters->bits_per_raw_sample = bytes * 8;
    parameters->block_align = bytes * m_inChannelLayout.nb_channels;
    parameters->bit_rate = int64_t(parameters->block_align) * 8 * m_inSampleRate;
    parameters->frame_size = 0;
    parameters->initial_padding = parameters->trailing_padding = 0;
    parameters->profile = AV_PROFILE_UNKNOWN;
    if (av_channel_layout_copy(&parameters->ch_layout, &m_inChannelLayout) < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    m_audioStream->time_base = AVRational{1, m_inSampleRate};
    return true;
}

bool FFWriter::writeSoundAsIs(const void* data, int64_t size) {
    const int64_t frameBytes =
        int64_t(av_get_bytes_per_sample(AVSampleFormat(m_inSampleFormat))) * m_inChannelLayout.nb_channels;
    const int64_t samples = frameBytes > 0 ? size / frameBytes : 0;
    if (samples <= 0) return true;
    if (!m_packet) m_packet.reset(av_packet_alloc());
    AVPacket* packet = m_packet.get();
    if (!packet || samples * frameBytes > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    av_packet_unref(packet);
    if (av_new_packet(packet, int(samples * frameBytes)) < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    std::memcpy(packet->data, data, size_t(samples * frameBytes));
    packet->pts = packet->dts = m_audioSampleCount;
    packet->duration = samples;
    packet->flags |= AV_PKT_FLAG_KEY;
    m_audioSampleCount += samples;
    return writePacket(packet, AVRational{1, m_inSampleRate}, m_audioStream, m_audioLastDts, false);
}

// The manifest first, then the segment's name: a segment under its name is
// a whole one, with what the join needs to know beside it.
bool FFWriter::nameFinishedSegment(bool finished) {
    if (!finished) {
        log(LOG_ERROR, "QelFFmpegWriter: the segment from frame %lld is not finished; it stays in <%s>",
            (long long)m_segmentFirstFrame, m_tempFileName.c_str());
        return false;
    }
    return writeSegmentManifest() && m_outputFile.publish(m_fileName, m_log);
}

bool FFWriter::writeSegmentManifest() {
    SegmentManifest manifest;
    manifest.output = m_segmentOutput;
    manifest.settings = m_segmentSettings;
    manifest.firstFrame = m_segmentFirstFrame;
    manifest.frames = m_videoFrameCount;
    manifest.soundBytes =
        m_hasAudio ? m_audioSampleCount * av_get_bytes_per_sample(AVSampleFormat(m_inSampleFormat)) *
                         m_inChannelLayout.nb_channels
                   : 0;
    manifest.timecode = m_segmentTimecode;
    manifest.metadata = m_segmentMetadata;
    struct stat st;
    if (::stat(m_tempFileName.c_str(), &st) != 0) {
        log(LOG_ERROR, "QelFFmpegWriter: the segment <%s> is gone: %s", m_tempFileName.c_str(), std::strerror(errno));
        return false;
    }
    manifest.fileBytes = st.st_size;

    const std::string path = manifest_path(m_fileName);
    // On the disk before its name: a manifest stands for a whole segment.
    if (!write_file_whole(path, manifest.text())) {
        log(LOG_ERROR, "QelFFmpegWriter: could not write the manifest <%s>: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}
