// One cell of the matrix: a host restores a project with the cell's choices,
// renders ten frames with stereo sound, and FFmpeg reads the file back.
// Where the file falls short, the same job through FFmpeg's own command line
// tells a fault of the module from a limit of FFmpeg.
#include "cells.h"

#include "common/media_probe.h"
#include "common/run.h"

#include "catalogue/profiles.h"
#include "base/compat.h"
#include "host/harness/render.h"
#include "host/harness/standin_host.h"
#include "panel/choice_lists.h"
#include "base/log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

// x265 keeps a block of x265_encoder_open past x265_encoder_close: a bare
// open and close of libx265 through libavcodec leaks the same 1168 bytes.
// (x265 has no frame pointers, so its own library is all the stack shows.)
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif

namespace interop {
namespace {

constexpr int FRAMES = 10;

struct PictureSetup {
    int width = 64;
    int height = 64;
    const char* pixelFormat = nullptr;  // none: the panel's first
    int kilobytesPerSecond = 0;         // the panel's "kBps"; 0 leaves the rate to the encoder
};

struct AudioSetup {
    int rate = 48000;  // the host's project rate
    int channels = 2;  // channels ticked in the panel (of the host's two)
    bool maximumBitRate = false;  // the panel's "Maximum" instead of 192 kbit/s
};

struct Setup {
    PictureSetup picture;
    AudioSetup audio;
    std::string note;  // what differs from the first attempt
};

// What some containers and encoders need instead of 64x64 pictures with
// 48 kHz stereo: tried when the first attempt is refused or its file spoilt. Rules apply in
// order, each over the last; null fields match anything.
struct Rule {
    const char* container;
    const char* video;
    const char* audio;
    std::optional<PictureSetup> picture;
    std::optional<AudioSetup> audio_setup;
    const char* note;
};

const Rule RULES[] = {
    {"gxf", nullptr, nullptr, PictureSetup{720, 576}, AudioSetup{48000, 1}, "720x576, mono"},
    {"flv", nullptr, nullptr, std::nullopt, AudioSetup{44100, 2}, "44.1 kHz"},
    {"flv", nullptr, "pcm_alaw", std::nullopt, AudioSetup{8000, 1}, "8 kHz mono"},
    {"flv", nullptr, "pcm_mulaw", std::nullopt, AudioSetup{8000, 1}, "8 kHz mono"},
    {nullptr, "h261", nullptr, PictureSetup{176, 144}, std::nullopt, "176x144"},
    {nullptr, "h263", nullptr, PictureSetup{176, 144}, std::nullopt, "176x144"},
    {nullptr, "dvvideo", nullptr, PictureSetup{720, 576, "yuv420p"}, std::nullopt, "720x576 yuv420p"},
    {nullptr, "xface", nullptr, PictureSetup{48, 48}, std::nullopt, "48x48"},
    {nullptr, "avui", nullptr, PictureSetup{720, 576}, std::nullopt, "720x576"},
    {nullptr, "dnxhd", nullptr, PictureSetup{1920, 1080, "yuv422p", 4500}, std::nullopt, "1920x1080 at 36 Mbit/s"},
    {nullptr, nullptr, "g723_1", std::nullopt, AudioSetup{8000, 1, true}, "8 kHz mono"},
    {nullptr, nullptr, "g726", std::nullopt, AudioSetup{8000, 1, true}, "8 kHz mono"},
    {nullptr, nullptr, "comfortnoise", std::nullopt, AudioSetup{8000, 1}, "8 kHz mono"},
    {nullptr, nullptr, "libspeex", std::nullopt, AudioSetup{16000, 1}, "16 kHz mono"},
    {nullptr, nullptr, "nellymoser", std::nullopt, AudioSetup{44100, 1}, "44.1 kHz mono"},
    {nullptr, nullptr, "adpcm_swf", std::nullopt, AudioSetup{44100, 2}, "44.1 kHz"},
    {nullptr, nullptr, "roq_dpcm", std::nullopt, AudioSetup{22050, 2}, "22.05 kHz"},
    {nullptr, nullptr, "adpcm_ima_amv", std::nullopt, AudioSetup{22050, 1}, "22.05 kHz mono"},
    {nullptr, nullptr, "dca", std::nullopt, AudioSetup{48000, 2, true}, "the encoder's own bit rate"},
};

bool matches(const char* rule, const std::string& value) { return !rule || value == rule; }

std::optional<Setup> retry_setup(const Cell& cell) {
    Setup setup;
    bool any = false;
    for (const Rule& rule : RULES) {
        if (!matches(rule.container, cell.container) || !matches(rule.video, cell.video) ||
            !matches(rule.audio, cell.audio))
            continue;
        if (rule.picture) setup.picture = *rule.picture;
        if (rule.audio_setup) setup.audio = *rule.audio_setup;
        setup.note += (setup.note.empty() ? "" : ", ") + std::string(rule.note);
        any = true;
    }
    if (!any) return std::nullopt;
    return setup;
}

// Encoders that drive a device: they open only where one is present.
// OpenMAX encoders carry neither FFmpeg's hardware flag nor a device config.
bool is_hardware(const AVCodec* codec) {
    if (!codec) return false;
    const size_t length = std::strlen(codec->name);
    const bool openMax = length > 4 && std::strcmp(codec->name + length - 4, "_omx") == 0;
    return (codec->capabilities & AV_CODEC_CAP_HARDWARE) || avcodec_get_hw_config(codec, 0) || openMax;
}

// Cells where FFmpeg 5.1 itself leaks, as a bare reproduction without the
// module shows: hardware encoders opened without their device (mjpeg_qsv
// keeps the queue it made when its init fails), and wtv refusing rawvideo
// after an ac3 stream (its header keeps a block). What they allocate is not
// counted as the module's.
bool ffmpeg_leaks(const Cell& cell, bool hardware) {
    return hardware || (cell.container == "wtv" && cell.video == "rawvideo");
}

struct LeaksIgnored {
    explicit LeaksIgnored(bool on) : on(on) {
#if defined(__SANITIZE_ADDRESS__)
        if (on) __lsan_disable();
#endif
    }
    ~LeaksIgnored() {
#if defined(__SANITIZE_ADDRESS__)
        if (on) __lsan_enable();
#endif
    }
    LeaksIgnored(const LeaksIgnored&) = delete;
    [[maybe_unused]] const bool on;
};

// The panel's reset choice of profile: the last one marked default.
int default_profile(const std::string& encoder) {
    ChoiceList profiles;
    list_profiles(encoder.c_str(), profiles);
    int index = 0;
    for (size_t i = 0; i < profiles.size(); ++i)
        if (profiles[i].is_default) index = int(i);
    return index;
}

int pixel_format_index(const std::string& encoder, const char* name) {
    if (!name) return 0;
    ChoiceList formats;
    list_pixel_formats(encoder.c_str(), formats);
    for (size_t i = 0; i < formats.size(); ++i)
        if (formats[i].value == av_get_pix_fmt(name)) return int(i);
    return 0;
}

// What the module gives the encoders, for the command line to give the same.
std::string pixel_format_name(const std::string& encoder, const char* name) {
    ChoiceList formats;
    list_pixel_formats(encoder.c_str(), formats);
    const int index = pixel_format_index(encoder, name);
    return size_t(index) < formats.size() ? formats[size_t(index)].label : "";
}

std::string sample_format_name(const std::string& encoder) {
    ChoiceList formats;
    list_sample_formats(encoder.c_str(), formats);
    const int32_t format = choose_out_sample_format(formats, true, AV_SAMPLE_FMT_S16);
    const char* name = av_get_sample_fmt_name(AVSampleFormat(format));
    return name ? name : "";
}

int encoder_rate(const AVCodec* codec, int requested) {
    const auto rates = ffcompat::sample_rates(codec);
    if (rates.any()) return requested;
    int chosen = 0;
    for (int rate : rates)
        if (!chosen || std::abs(rate - requested) < std::abs(chosen - requested)) chosen = rate;
    return chosen;
}

int encoder_channels(const AVCodec* codec, int requested) {
    const auto layouts = ffcompat::channel_layouts(codec);
    if (layouts.any()) return requested;
    int most = 0;
    for (const AVChannelLayout& layout : layouts)
        if (layout.nb_channels <= requested && layout.nb_channels > most) most = layout.nb_channels;
    return most;
}

std::string file_safe(std::string text) {
    for (char& c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') c = '_';
    return text;
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

struct Attempt {
    bool written = false;
    std::string path;
    std::string failure;  // the writer's messages, or what stopped the attempt
};

std::string unique_lines(const std::vector<std::string>& lines) {
    std::vector<std::string> seen;
    std::string text;
    for (const std::string& line : lines) {
        if (line.empty() || std::find(seen.begin(), seen.end(), line) != seen.end()) continue;
        seen.push_back(line);
        text += (text.empty() ? "" : " / ") + line;
    }
    return text;
}

Attempt render_with_module(const std::shared_ptr<qelhost::Module>& module, const Cell& cell, const Setup& setup,
                           const std::string& directory) {
    Attempt attempt;
    qelhost::HostOptions options;
    options.echo_log = false;
    qelhost::StandinHost host(module, options);
    if (!host.init()) {
        attempt.failure = "INIT failed";
        return attempt;
    }
    // A stored project as the host hands it back: values first, then RESTORE.
    const std::pair<const char*, int> values[] = {
        {"klavformat", cell.containerIndex},
        {"klavvideocodec", cell.videoIndex},
        {"klavaudiocodec", cell.audioIndex},
        {"klavvidprofile", default_profile(cell.video)},
        {"klavaudprofile", default_profile(cell.audio)},
        {"klavpixelfmt", pixel_format_index(cell.video, setup.picture.pixelFormat)},
        {"klavvidbitrate", setup.picture.kilobytesPerSecond},
        {"klavaudbitrate", setup.audio.maximumBitRate ? 5 : DEFAULT_AUDIO_BIT_RATE_INDEX},
        {"ffaudioChan1", 1},
        {"ffaudioChan2", setup.audio.channels > 1 ? 1 : 0},
    };
    for (const auto& [identifier, value] : values) {
        if (!host.controls().set_value(identifier, value)) {
            attempt.failure = std::string("no control ") + identifier;
            return attempt;
        }
    }
    host.restore();
    for (const auto& [identifier, value] : values) {
        if (host.controls().find(identifier)->int_value() != value) {
            attempt.failure = std::string("RESTORE changed ") + identifier;
            return attempt;
        }
    }
    QEL_OutputInfo info{};
    if (!host.output_info(info) || !info.extension) {
        attempt.failure = "no file extension";
        return attempt;
    }

    attempt.path = directory + "/" + file_safe(cell.video) + "+" + file_safe(cell.audio) + "." + info.extension;
    std::remove(attempt.path.c_str());
    qelhost::TestPatternClip::Settings settings;
    settings.width = setup.picture.width;
    settings.height = setup.picture.height;
    settings.fps = 25;
    settings.frames = FRAMES;
    settings.audio = qelhost::AudioClip::tone(setup.audio.rate, 2, 16);
    qelhost::TestPatternClip clip(settings);
    qelhost::RenderOptions renderOptions;
    renderOptions.path = attempt.path;
    attempt.written = qelhost::render(host, clip, renderOptions).ok();
    // Every request of a refused render fails alike: each message once.
    if (!attempt.written) attempt.failure = unique_lines(host.log().texts(LOG_ERROR));
    if (!attempt.written && attempt.failure.empty()) attempt.failure = "a request failed without a message";
    return attempt;
}

// The same job through FFmpeg's command line: same encoders, picture, pixel
// and sample formats, rates, channels, bit rates and key-frame interval. The
// time limit only guards against encoders that never end (libsvtav1 waits for
// ever on some jobs); a loaded machine must never reach it.
Attempt render_with_ffmpeg(const Cell& cell, const Setup& setup, const std::string& modulePath) {
    Attempt attempt;
    const size_t dot = modulePath.rfind('.');
    attempt.path = modulePath.substr(0, dot) + ".ffmpeg" + modulePath.substr(dot);
    std::remove(attempt.path.c_str());
    const AVCodec* audio = avcodec_find_encoder_by_name(cell.audio.c_str());
    const PictureSetup& picture = setup.picture;
    char duration[32];
    std::snprintf(duration, sizeof duration, "%g", FRAMES / 25.0);

    // Experimental encoders as the module allows them; the muxer keeps its default.
    std::string command = "timeout -k 5 120 ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=" +
                          std::to_string(picture.width) + "x" + std::to_string(picture.height) +
                          ":rate=25 -f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(setup.audio.rate) +
                          " -t " + duration + " -c:v " + cell.video + " -g 24 -c:a " + cell.audio +
                          " -ar " + std::to_string(encoder_rate(audio, setup.audio.rate)) +
                          " -ac " + std::to_string(encoder_channels(audio, setup.audio.channels)) +
                          " -strict:v experimental -strict:a experimental";
    const std::string pixelFormat = pixel_format_name(cell.video, picture.pixelFormat);
    if (!pixelFormat.empty()) command += " -pix_fmt " + pixelFormat;
    const std::string sampleFormat = sample_format_name(cell.audio);
    if (!sampleFormat.empty()) command += " -sample_fmt " + sampleFormat;
    if (picture.kilobytesPerSecond) command += " -b:v " + std::to_string(picture.kilobytesPerSecond * 8) + "k";
    if (!setup.audio.maximumBitRate) command += " -b:a 192k";
    const CommandResult run = run_command(command + " -f " + cell.container + " '" + attempt.path + "' </dev/null");

    std::istringstream log(run.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        if (line.rfind("Svt[info]", 0) != 0) lines.push_back(line);
    attempt.written = run.status == 0;
    if (run.status == 124) lines.insert(lines.begin(), "did not finish within 120 s");
    if (!attempt.written) attempt.failure = unique_lines(lines);
    if (!attempt.written && attempt.failure.empty()) attempt.failure = "failed without a message";
    return attempt;
}

// What is wrong with a file, in the order checked. The first group makes a
// file useless; the last two are deviations that still play.
enum class Problem {
    None,
    Unreadable,
    MissingStream,
    WrongCodec,
    PictureCount,
    PictureSize,
    AudioFormat,
    PictureTimes,
    AudioCount,
};

struct Check {
    Problem problem = Problem::None;
    std::string detail;
    std::vector<std::string> notes;
    double pictureSpan = 0;
    int64_t audioDifference = 0;  // samples decoded minus samples sent, per channel
};

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts)
        if (!part.empty()) text += (text.empty() ? "" : "; ") + part;
    return text;
}

// Codec ids a demuxer may report for an encoder's stream: its container tag
// names the family, whose decoder reads it.
bool same_family(AVCodecID written, AVCodecID read) {
    const std::pair<AVCodecID, AVCodecID> families[] = {
        {AV_CODEC_ID_H263P, AV_CODEC_ID_H263},
        {AV_CODEC_ID_LJPEG, AV_CODEC_ID_MJPEG},
        {AV_CODEC_ID_MP2, AV_CODEC_ID_MP3},
        {AV_CODEC_ID_EAC3, AV_CODEC_ID_AC3},
        {AV_CODEC_ID_SONIC_LS, AV_CODEC_ID_SONIC},
    };
    if (written == read) return true;
    for (const auto& [a, b] : families)
        if (written == a && read == b) return true;
    return false;
}

// Samples a decoder may give beyond those sent where the container records
// neither the encoder's priming nor the padding of its last frame: both, as
// the encoder declares them when opened the way the module opens it.
int64_t priming_and_padding(const AVCodec* codec, const Setup& setup) {
    struct Free {
        void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    };
    std::unique_ptr<AVCodecContext, Free> context(avcodec_alloc_context3(codec));
    if (!context) return 0;
    context->log_level_offset = AV_LOG_TRACE;  // a refusal here is no finding
    context->sample_rate = encoder_rate(codec, setup.audio.rate);
    context->time_base = AVRational{1, context->sample_rate};
    context->sample_fmt = av_get_sample_fmt(sample_format_name(codec->name).c_str());
    context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (!setup.audio.maximumBitRate) context->bit_rate = 192000;
    av_channel_layout_default(&context->ch_layout, encoder_channels(codec, setup.audio.channels));
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return 0;
    return int64_t(context->initial_padding) + context->frame_size;
}

Check judge(const Cell& cell, const Setup& setup, const std::string& path) {
    Check check;
    auto fail = [&check](Problem problem, std::string detail) {
        check.problem = problem;
        check.detail = std::move(detail);
        return check;
    };
    probe::Options options;
    options.log_errors = true;
    const probe::File media = probe::read(path, options);
    if (!media.opened || !media.errors.empty()) return fail(Problem::Unreadable, media.error_text());

    const AVCodec* videoCodec = avcodec_find_encoder_by_name(cell.video.c_str());
    const AVCodec* audioCodec = avcodec_find_encoder_by_name(cell.audio.c_str());
    const probe::Stream* video = media.first(AVMEDIA_TYPE_VIDEO);
    const probe::Stream* audio = media.first(AVMEDIA_TYPE_AUDIO);
    if (!video || !audio) return fail(Problem::MissingStream, video ? "no audio stream" : "no video stream");
    if (!same_family(videoCodec->id, video->id) || !same_family(audioCodec->id, audio->id))
        return fail(Problem::WrongCodec, std::string("streams read as ") + avcodec_get_name(video->id) + " and " +
                                             avcodec_get_name(audio->id));
    if (video->experimental || audio->experimental) check.notes.push_back("experimental decoder");
    if (video->decoded != FRAMES) return fail(Problem::PictureCount, std::to_string(video->decoded) + " pictures");
    if (video->width != setup.picture.width || video->height != setup.picture.height)
        return fail(Problem::PictureSize,
                    "pictures of " + std::to_string(video->width) + "x" + std::to_string(video->height));

    const int rate = encoder_rate(audioCodec, setup.audio.rate);
    const int channels = encoder_channels(audioCodec, setup.audio.channels);
    if (audio->sample_rate != rate || audio->channels != channels)
        return fail(Problem::AudioFormat, "audio of " + std::to_string(audio->sample_rate) + " Hz, " +
                                              std::to_string(audio->channels) + " channels");

    // Presentation times: distinct, rising, one frame apart on average.
    bool timed = !video->times.empty();
    for (double t : video->times) timed = timed && !std::isnan(t);
    if (timed) {
        for (size_t i = 1; i < video->times.size(); ++i)
            if (!(video->times[i] > video->times[i - 1]))
                return fail(Problem::PictureTimes, "picture times do not rise");
        check.pictureSpan = video->times.back() - video->times.front();
        if (std::abs(check.pictureSpan - (FRAMES - 1) / 25.0) > 0.5 / 25.0)
            return fail(Problem::PictureTimes, "pictures span " + seconds_text(check.pictureSpan));
    } else {
        check.notes.push_back("not every picture has a time");
    }

    // Every sample sent comes back, plus at most the encoder's priming and padding.
    const int64_t sent = std::llround(FRAMES / 25.0 * rate);
    check.audioDifference = audio->samples - sent;
    check.notes.push_back("audio " + std::string(check.audioDifference >= 0 ? "+" : "") +
                          std::to_string(check.audioDifference));
    if (check.audioDifference < 0 || check.audioDifference > priming_and_padding(audioCodec, setup))
        return fail(Problem::AudioCount, std::to_string(audio->samples) + " samples of " + std::to_string(sent));
    return check;
}

bool spoils_file(Problem problem) {
    return problem != Problem::None && problem != Problem::PictureTimes && problem != Problem::AudioCount;
}

// The module's file against FFmpeg's own of the same job: the same deviation,
// or both files spoilt.
bool same_shortfall(const Check& module, const Check& ffmpeg) {
    if (spoils_file(module.problem)) return spoils_file(ffmpeg.problem);
    if (module.problem != ffmpeg.problem) return false;
    if (module.problem == Problem::PictureTimes) return std::abs(module.pictureSpan - ffmpeg.pictureSpan) < 1e-3;
    return std::abs(module.audioDifference - ffmpeg.audioDifference) <= 2;
}

struct Judged {
    Attempt attempt;
    std::optional<Check> check;  // when written
    bool usable() const { return attempt.written && !spoils_file(check->problem); }
};

Judged render_and_judge(const std::shared_ptr<qelhost::Module>& module, const Cell& cell, const Setup& setup,
                        const std::string& directory) {
    Judged judged{render_with_module(module, cell, setup, directory), std::nullopt};
    if (judged.attempt.written) judged.check = judge(cell, setup, judged.attempt.path);
    return judged;
}

}  // namespace

Outcome run_cell(const std::shared_ptr<qelhost::Module>& module, const Cell& cell, const std::string& directory) {
    const bool hardware = is_hardware(avcodec_find_encoder_by_name(cell.video.c_str())) ||
                          is_hardware(avcodec_find_encoder_by_name(cell.audio.c_str()));
    LeaksIgnored ignored(ffmpeg_leaks(cell, hardware));
    Setup setup;
    Judged ours = render_and_judge(module, cell, setup, directory);
    if (!ours.usable()) {
        if (std::optional<Setup> retry = retry_setup(cell)) {
            setup = *retry;
            ours = render_and_judge(module, cell, setup, directory);
        }
    }
    const std::string at = setup.note.empty() ? "" : "at " + setup.note;

    if (!ours.attempt.written) {
        if (hardware)
            return {Result::Skipped, "hardware encoder, no device here (" + ours.attempt.failure + ")"};
        const Attempt reference = render_with_ffmpeg(cell, setup, ours.attempt.path);
        std::remove(reference.path.c_str());
        if (!reference.written)
            return {Result::Skipped, joined({at, "FFmpeg cannot write it: its command line fails too (" +
                                                     reference.failure + "); the module says: " +
                                                     ours.attempt.failure})};
        return {Result::Failed, joined({at, ours.attempt.failure, "FFmpeg's command line writes it"})};
    }

    const Check& check = *ours.check;
    if (check.problem == Problem::None) {
        std::remove(ours.attempt.path.c_str());
        return {Result::Ok, joined({at, joined(check.notes)})};
    }
    const Attempt reference = render_with_ffmpeg(cell, setup, ours.attempt.path);
    const Check referenceCheck = reference.written ? judge(cell, setup, reference.path) : Check{};
    if (!reference.written || !same_shortfall(check, referenceCheck)) {
        const std::string theirs = !reference.written                      ? reference.failure
                                   : referenceCheck.problem == Problem::None ? "fine"
                                                                            : referenceCheck.detail;
        return {Result::Failed, joined({at, check.detail, "FFmpeg's command line: " + theirs})};
    }
    std::remove(ours.attempt.path.c_str());
    std::remove(reference.path.c_str());
    // Deviations that still play are FFmpeg's behaviour; spoilt files are its limit.
    if (!spoils_file(check.problem))
        return {Result::Ok,
                joined({at, joined(check.notes), check.detail + ", as in FFmpeg's own file of the same job"})};
    return {Result::Skipped, joined({at, "FFmpeg's own file of the same job is spoilt too (" + referenceCheck.detail +
                                             "); the module's: " + check.detail})};
}

}  // namespace interop
