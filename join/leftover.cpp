#include "leftover.h"

#include "movie_input.h"
#include "segment_set.h"

#include "writer/FFWriter.h"
#include "writer/settings/frame_rate.h"
#include "writer/movie_file/output_file.h"
#include "writer/movie_file/output_path.h"
#include "writer/movie_file/segment_files.h"

#include "base/error_text.h"
#include "base/ffmpeg_ptr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/timecode.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <climits>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace join {

namespace {

bool open_leftover(const std::string& path, MovieInput& open, std::string& why) {
    if (!open_movie(path, true, open, why)) {
        why = "the leftover <" + path + "> cannot be read: " + why;
        return false;
    }
    if (open.video < 0) {
        why = "the leftover <" + path + "> holds no pictures";
        return false;
    }
    return true;
}

AVRational frame_duration(const AVStream& video) {
    return av_inv_q(video.avg_frame_rate.num > 0 ? video.avg_frame_rate : video.r_frame_rate);
}

int64_t start_of(const AVStream& stream) { return stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0; }

// Frames 0 to n-1 are whole when the first n pictures in decode order are
// exactly those frames: every one of them decodes from what is kept, whatever
// the group of pictures, and none is missing.
std::vector<int64_t> whole_counts(const std::vector<int64_t>& framesInDecodeOrder) {
    std::vector<int64_t> counts;
    int64_t highest = -1;
    for (size_t i = 0; i < framesInDecodeOrder.size(); ++i) {
        highest = std::max(highest, framesInDecodeOrder[i]);
        if (highest == int64_t(i)) counts.push_back(int64_t(i) + 1);
    }
    return counts;
}

std::string timecode_frames_before(const std::string& timecode, double fps, int64_t frames) {
    AVTimecode counter;
    if (timecode.empty() || frames > INT_MAX ||
        av_timecode_init_from_string(&counter, frame_rate_of(fps), timecode.c_str(), nullptr) < 0)
        return timecode;
    char text[AV_TIMECODE_STR_SIZE];
    return av_timecode_make_string(&counter, text, -int(frames));
}

// The leftover's sound, decoded from the first sample its edit keeps and
// turned back into the host's samples, handed on until `samples` are.
class SoundBack {
public:
    bool open(const AVStream& stream, const WriterSettings& settings, std::string& why) {
        m_timeBase = stream.time_base;
        m_outRate = settings.inSampleRate;
        const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
        m_decoder.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
        if (m_decoder) m_decoder->pkt_timebase = stream.time_base;
        if (!m_decoder || avcodec_parameters_to_context(m_decoder.get(), stream.codecpar) < 0 ||
            avcodec_open2(m_decoder.get(), codec, nullptr) < 0) {
            why = "its sound cannot be decoded";
            return false;
        }
        if (m_decoder->ch_layout.nb_channels != settings.channels) {
            why = "its sound has " + std::to_string(m_decoder->ch_layout.nb_channels) + " channels and the host's " +
                  std::to_string(settings.channels) + ": what the output's encoder was given cannot be made the "
                  "host's samples again";
            return false;
        }
        m_format = AVSampleFormat(settings.inSampleFormat);
        m_frameBytes = av_get_bytes_per_sample(m_format) * settings.channels;
        SwrContext* resampler = nullptr;
        const bool made = swr_alloc_set_opts2(&resampler, &m_decoder->ch_layout, m_format, settings.inSampleRate,
                                              &m_decoder->ch_layout, m_decoder->sample_fmt, m_decoder->sample_rate, 0,
                                              nullptr) >= 0;
        m_resampler.reset(resampler);
        m_frame.reset(av_frame_alloc());
        if (!made || m_frameBytes <= 0 || !m_frame || swr_init(resampler) < 0) {
            why = "its sound cannot be turned into the host's samples";
            return false;
        }
        return true;
    }

    // A null packet drains the decoder and the resampler.
    bool give(const AVPacket* packet, FFWriter& writer, int64_t& samplesLeft) {
        // A damaged packet of a dead render is passed over: the samples it
        // held are then missing, and counted so.
        if (avcodec_send_packet(m_decoder.get(), packet) < 0 && packet) return true;
        while (avcodec_receive_frame(m_decoder.get(), m_frame.get()) >= 0) {
            // Samples before the movie's start are the encoder's priming: a
            // movie whose edit says so has had them taken off by the decoder.
            const int64_t start = m_frame->pts == AV_NOPTS_VALUE
                                      ? 0
                                      : av_rescale_q(m_frame->pts, m_timeBase, AVRational{1, m_decoder->sample_rate});
            if (start < 0) m_skip += av_rescale(std::min<int64_t>(-start, m_frame->nb_samples), m_outRate, m_decoder->sample_rate);
            const bool ok = convert(m_frame->extended_data, m_frame->nb_samples, writer, samplesLeft);
            av_frame_unref(m_frame.get());
            if (!ok) return false;
        }
        return packet ? true : drain(writer, samplesLeft);
    }

private:
    bool drain(FFWriter& writer, int64_t& samplesLeft) { return convert(nullptr, 0, writer, samplesLeft); }

    bool convert(uint8_t** in, int count, FFWriter& writer, int64_t& samplesLeft) {
        const int room = swr_get_out_samples(m_resampler.get(), count);
        if (room <= 0) return true;
        m_buffer.resize(size_t(room) * size_t(m_frameBytes));
        uint8_t* out[] = {m_buffer.data()};
        const int made = swr_convert(m_resampler.get(), out, room, const_cast<const uint8_t**>(in), count);
        if (made < 0) return false;
        const int64_t skipped = std::min<int64_t>(made, m_skip);
        m_skip -= skipped;
        const int64_t kept = std::min<int64_t>(made - skipped, samplesLeft);
        samplesLeft -= kept;
        return kept == 0 || writer.writeAudio(m_buffer.data() + skipped * m_frameBytes, kept * m_frameBytes);
    }

    CodecContextPtr m_decoder;
    SwrContextPtr m_resampler;
    FramePtr m_frame;
    AVRational m_timeBase{1, 1};
    int m_outRate = 0;
    int64_t m_skip = 0;  // output samples still to drop
    AVSampleFormat m_format = AV_SAMPLE_FMT_NONE;
    int m_frameBytes = 0;
    std::vector<uint8_t> m_buffer;
};

bool fail(LogSink log, const std::string& why) {
    log_to(log, LOG_ERROR, "QelFFmpegWriter: %s", why.c_str());
    return false;
}

}  // namespace

bool find_leftover(const std::string& output, int64_t atMost, Leftover& leftover, std::string& why) {
    leftover = Leftover{};
    // A render takes the first unfinished name that is free and keeps the
    // others: the last render to die left the newest.
    fs::file_time_type newest;
    for (int attempt = 1; attempt <= 99; ++attempt) {
        const std::string name = unfinished_name(output, attempt);
        std::error_code error;
        if (!fs::is_regular_file(name, error)) continue;
        const fs::file_time_type written = fs::last_write_time(name, error);
        if (!error && (leftover.path.empty() || written > newest)) leftover.path = name, newest = written;
    }
    if (leftover.path.empty()) {
        why = "no render of <" + output + "> left anything: <" + unfinished_name(output) + "> is not there";
        return false;
    }
    if (held_by_a_render(leftover.path)) {
        why = "<" + leftover.path + "> is being written by a render that is still running";
        leftover.path.clear();
        return false;
    }
    MovieInput open;
    if (!open_leftover(leftover.path, open, why)) return false;
    const AVStream& video = *open.pictures();
    const AVRational frame = frame_duration(video);
    if (frame.num <= 0 || frame.den <= 0) {
        why = "the leftover <" + leftover.path + "> has no frame rate";
        return false;
    }
    std::vector<int64_t> frames;
    int64_t soundEnd = 0;  // in the sound's time base, from the first sample kept
    PacketPtr packet(av_packet_alloc());
    int result = 0;
    while (packet && (result = av_read_frame(open.input.get(), packet.get())) >= 0) {
        if (packet->stream_index == open.video && packet->pts != AV_NOPTS_VALUE) {
            // A stream must start at a picture that needs none before it.
            if (!frames.empty() || (packet->flags & AV_PKT_FLAG_KEY))
                frames.push_back(av_rescale_q(packet->pts - start_of(video), video.time_base, frame));
        } else if (packet->stream_index == open.audio && packet->pts != AV_NOPTS_VALUE) {
            soundEnd = std::max(soundEnd, packet->pts + packet->duration);
        }
        av_packet_unref(packet.get());
    }
    leftover.held = int64_t(frames.size());
    const AVStream* sound = open.sound();
    for (const int64_t count : whole_counts(frames)) {
        if (atMost > 0 && count > atMost) break;
        // The host's sound of those frames must be there too.
        if (sound) {
            const int rate = sound->codecpar->sample_rate;
            const int64_t needed = int64_t(first_sample_of(double(count), rate, av_q2d(av_inv_q(frame))));
            if (av_rescale_q(soundEnd, sound->time_base, AVRational{1, rate}) < needed) break;
        }
        leftover.frames = count;
    }
    return true;
}

bool adopt_leftover(const std::string& output, LogSink log) {
    SegmentSet set;
    std::string why;
    if (!find_segments(output, std::nullopt, set, why)) return fail(log, why);
    const FoundSegment& next = set.segments.front();
    const int64_t frames = next.manifest.firstFrame;
    Leftover leftover;
    if (!find_leftover(output, frames, leftover, why)) return fail(log, why);
    if (leftover.frames != frames)
        return fail(log, "the leftover <" + leftover.path + "> holds frames 0 to " + std::to_string(leftover.frames - 1) +
                             " whole, the segments start at frame " + std::to_string(frames) +
                             ": render the frames between as a segment too");
    StoredSettings stored;
    if (!stored.parse(next.manifest, why)) return fail(log, "<" + next.path + "> cannot be continued: " + why);
    MovieInput open;
    if (!open_leftover(leftover.path, open, why)) return fail(log, why);

    WriterSettings settings = stored.settings();
    settings.segment = true;
    settings.segmentFirstFrame = 0;
    settings.copyVideo = true;
    const AVCodecParameters* pictures = open.pictures()->codecpar;
    settings.videoExtradata = pictures->extradata;
    settings.videoExtradataSize = pictures->extradata_size;
    const std::string timecode = timecode_frames_before(next.manifest.timecode, settings.frameRate, frames);
    settings.timecode = timecode.c_str();

    const bool hasSound = settings.audioCodecName && settings.audioCodecName[0];
    SoundBack sound;
    if (hasSound && (!open.sound() || !sound.open(*open.sound(), settings, why)))
        return fail(log, "the leftover <" + leftover.path + "> cannot be continued: " +
                             (open.sound() ? why : std::string("it holds no sound")));
    int64_t samplesLeft =
        hasSound ? int64_t(first_sample_of(double(frames), settings.inSampleRate, slicing_fps(settings.frameRate))) : 0;

    FFWriter writer(log);
    if (!writer.open(output.c_str(), settings)) return fail(log, "the leftover <" + leftover.path + "> stays as it was");
    const AVStream& video = *open.pictures();
    PacketPtr packet(av_packet_alloc());
    int64_t picturesLeft = frames;
    bool ok = packet != nullptr;
    while (ok && (picturesLeft > 0 || samplesLeft > 0) && av_read_frame(open.input.get(), packet.get()) >= 0) {
        if (packet->stream_index == open.video && picturesLeft > 0) {
            --picturesLeft;
            ok = writer.writeVideoPacket(packet.get(), video.time_base, 0);
        } else if (packet->stream_index == open.audio && hasSound && samplesLeft > 0) {
            ok = sound.give(packet.get(), writer, samplesLeft);
        }
        av_packet_unref(packet.get());
    }
    if (ok && hasSound && samplesLeft > 0) ok = sound.give(nullptr, writer, samplesLeft);
    if (!ok || picturesLeft > 0 || samplesLeft > 0) {
        writer.discard();
        return fail(log, "the leftover <" + leftover.path + "> could not be made a segment; it stays as it was");
    }
    if (!writer.close()) return fail(log, "the leftover <" + leftover.path + "> stays as it was");
    open.input.reset();
    std::error_code error;
    fs::remove(leftover.path, error);
    log_to(log, LOG_INFO, "QelFFmpegWriter: frames 0 to %lld of <%s> continue the render", (long long)(frames - 1),
           leftover.path.c_str());
    return true;
}

}  // namespace join
