// Every container the module offers, with each of its encoders that opens
// here: a host chooses the pair on the panel and restores it, renders ten
// 64x64 frames with stereo sound, and FFmpeg reads the file back whole. Where
// the file falls short, the same job through FFmpeg's command line tells a
// fault of the module from a limit of FFmpeg. The question: does every pair
// the panel offers give a file FFmpeg reads back whole?
#include "common/codec_pairs.h"
#include "common/media_probe.h"
#include "common/run.h"

#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"
#include "host/harness/module.h"
#include "host/harness/render.h"
#include "host/harness/standin_host.h"
#include "base/log.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>

// x265 keeps a block of x265_encoder_open past x265_encoder_close: a bare
// open and close of libx265 through libavcodec leaks the same 1168 bytes.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif

namespace {

constexpr int FRAMES = 10;
const std::string OUTPUT_DIR = std::string(QEL_BUILD_DIR) + "/interop";

struct Cell {
    std::string container;
    int containerIndex;
    std::string video;
    int videoIndex;
    std::string audio;
    int audioIndex;
};

struct Setup {
    int width = 64, height = 64;
    const char* pixelFormat = nullptr;  // none: the panel's first
    int kBps = 0;                       // the panel's video rate; 0 leaves it to the encoder
    int rate = 48000, channels = 2;     // no channels: no sound
    bool maximumBitRate = false;        // the panel's "Maximum" instead of 192 kbit/s
    std::string note;                   // what differs from the first attempt
};

// What some jobs need instead of 64x64 pictures with 48 kHz stereo: tried when
// the first attempt is refused or its file spoilt. Rules apply in order, each
// over the last; null names match anything, a width of 0 keeps the pictures,
// a rate of 0 the sound, 0 channels leave it out.
struct Rule {
    const char *container, *video, *audio;
    int width, height;
    const char* pixelFormat;
    int kBps, rate, channels;
    bool maximumBitRate;
    const char* note;
};

const Rule RULES[] = {
    {"gxf", nullptr, nullptr, 720, 576, nullptr, 0, 48000, 1, false, "720x576, mono"},
    {"mxf_opatom", nullptr, nullptr, 0, 0, nullptr, 0, 48000, 0, false, "no sound: one stream only"},
    {"flv", nullptr, nullptr, 0, 0, nullptr, 0, 44100, 2, false, "44.1 kHz"},
    {"flv", nullptr, "pcm_alaw", 0, 0, nullptr, 0, 8000, 1, false, "8 kHz mono"},
    {"flv", nullptr, "pcm_mulaw", 0, 0, nullptr, 0, 8000, 1, false, "8 kHz mono"},
    {nullptr, "h261", nullptr, 176, 144, nullptr, 0, 0, 0, false, "176x144"},
    {nullptr, "h263", nullptr, 176, 144, nullptr, 0, 0, 0, false, "176x144"},
    {nullptr, "dvvideo", nullptr, 720, 576, "yuv420p", 0, 0, 0, false, "720x576 yuv420p"},
    {nullptr, "xface", nullptr, 48, 48, nullptr, 0, 0, 0, false, "48x48"},
    {nullptr, "avui", nullptr, 720, 576, nullptr, 0, 0, 0, false, "720x576"},
    {nullptr, "dnxhd", nullptr, 1920, 1080, "yuv422p", 4500, 0, 0, false, "1920x1080 at 36 Mbit/s"},
    {nullptr, nullptr, "g723_1", 0, 0, nullptr, 0, 8000, 1, true, "8 kHz mono"},
    {nullptr, nullptr, "g726", 0, 0, nullptr, 0, 8000, 1, true, "8 kHz mono"},
    {nullptr, nullptr, "comfortnoise", 0, 0, nullptr, 0, 8000, 1, false, "8 kHz mono"},
    {nullptr, nullptr, "libspeex", 0, 0, nullptr, 0, 16000, 1, false, "16 kHz mono"},
    {nullptr, nullptr, "nellymoser", 0, 0, nullptr, 0, 44100, 1, false, "44.1 kHz mono"},
    {nullptr, nullptr, "adpcm_swf", 0, 0, nullptr, 0, 44100, 2, false, "44.1 kHz"},
    {nullptr, nullptr, "roq_dpcm", 0, 0, nullptr, 0, 22050, 2, false, "22.05 kHz"},
    {nullptr, nullptr, "adpcm_ima_amv", 0, 0, nullptr, 0, 22050, 1, false, "22.05 kHz mono"},
    {nullptr, nullptr, "dca", 0, 0, nullptr, 0, 48000, 2, true, "the encoder's own bit rate"},
};

std::string joined(const std::vector<std::string>& parts, const char* between = "; ") {
    std::string text;
    for (const std::string& part : parts)
        if (!part.empty() && text.find(part) == std::string::npos) text += (text.empty() ? "" : between) + part;
    return text;
}

bool retry_setup(const Cell& cell, Setup& setup) {
    const auto matches = [](const char* rule, const std::string& value) { return !rule || value == rule; };
    bool any = false;
    for (const Rule& r : RULES) {
        if (!matches(r.container, cell.container) || !matches(r.video, cell.video) || !matches(r.audio, cell.audio))
            continue;
        if (r.width) setup.width = r.width, setup.height = r.height, setup.pixelFormat = r.pixelFormat, setup.kBps = r.kBps;
        if (r.rate) setup.rate = r.rate, setup.channels = r.channels, setup.maximumBitRate = r.maximumBitRate;
        setup.note = joined({setup.note, r.note}, ", ");
        any = true;
    }
    return any;
}

// FFmpeg's encoders that drive a device; OpenMAX ones carry neither its
// hardware flag nor a device config.
bool drives_a_device(const std::string& name) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    return codec && ((codec->capabilities & AV_CODEC_CAP_HARDWARE) || avcodec_get_hw_config(codec, 0) ||
                     (name.size() > 4 && name.compare(name.size() - 4, 4, "_omx") == 0));
}

// Where FFmpeg 5.1 itself leaks, as a bare reproduction without the module
// shows: hardware encoders opened without their device (mjpeg_qsv keeps its
// queue when its init fails), and wtv refusing rawvideo after an ac3 stream.
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
    [[maybe_unused]] const bool on;
};

// Whether an encoder takes a sample rate or a number of channels, as FFmpeg lists them.
bool takes_rate(const AVCodec* codec, int rate) {
    const auto rates = ffcompat::sample_rates(codec);
    return rates.takes_any() || std::find(rates.begin(), rates.end(), rate) != rates.end();
}
bool takes_channels(const AVCodec* codec, int channels) {
    const auto layouts = ffcompat::channel_layouts(codec);
    if (layouts.takes_any()) return true;
    for (const AVChannelLayout& layout : layouts)
        if (layout.nb_channels == channels) return true;
    return false;
}

struct Attempt {
    bool written = false;
    std::string path;
    std::string failure;      // the writer's messages, or what stopped the attempt
    std::string pixelFormat;  // as the panel chose it
};

Attempt render_with_module(const std::shared_ptr<qelhost::Module>& module, const Cell& cell, const Setup& setup,
                           const std::string& directory) {
    Attempt attempt;
    const auto refused = [](std::string why) {
        Attempt none;
        none.failure = std::move(why);
        return none;
    };
    qelhost::HostOptions options;
    options.echo_log = false;
    qelhost::StandinHost host(module, options);
    if (!host.init()) return refused("INIT failed");
    // Chosen as a user would, one control after the other, so that the panel
    // picks each encoder's profile and pixel format itself.
    const std::pair<const char*, int> steps[] = {
        {"klavformat", cell.containerIndex},
        {"klavvideocodec", cell.videoIndex},
        {"klavaudiocodec", setup.channels ? cell.audioIndex : 0},
        {"klavvidbitrate", setup.kBps},
        {"ffaudioChan1", 1},
        {"ffaudioChan2", setup.channels > 1 ? 1 : 0},
    };
    for (const auto& [identifier, value] : steps)
        if (!host.change(identifier, value)) return refused(std::string("no control ") + identifier);
    if (setup.pixelFormat && !host.choose("klavpixelfmt", setup.pixelFormat))
        return refused(std::string("the panel offers no ") + setup.pixelFormat);
    if (setup.maximumBitRate && !host.choose("klavaudbitrate", "Maximum"))
        return refused("no \"Maximum\" audio bit rate");
    const qelhost::Control* pixels = host.controls().find("klavpixelfmt");
    if (pixels && pixels->int_value() >= 0 && size_t(pixels->int_value()) < pixels->choices.size())
        attempt.pixelFormat = pixels->choices[size_t(pixels->int_value())];
    attempt.pixelFormat = attempt.pixelFormat.substr(0, attempt.pixelFormat.find(' '));  // the name, not the note
    // Then as a stored project comes back: RESTORE keeps every value.
    std::vector<std::pair<std::string, double>> values;
    for (const qelhost::Control& control : host.controls().all())
        if (!control.identifier.empty()) values.emplace_back(control.identifier, control.value);
    host.restore();
    for (const auto& [identifier, value] : values)
        if (host.controls().find(identifier)->value != value) return refused("RESTORE changed " + identifier);
    QEL_OutputInfo info{};
    if (!host.output_info(info) || !info.extension) return refused("no file extension");

    std::string name = cell.video + "+" + cell.audio;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '+') c = '_';
    attempt.path = directory + "/" + name + "." + info.extension;
    std::remove(attempt.path.c_str());
    qelhost::TestPatternClip::Settings settings;
    settings.width = setup.width;
    settings.height = setup.height;
    settings.fps = 25;
    settings.frames = FRAMES;
    settings.audio = qelhost::AudioClip::tone(setup.rate, 2, 16);
    qelhost::TestPatternClip clip(settings);
    qelhost::RenderOptions renderOptions;
    renderOptions.path = attempt.path;
    attempt.written = qelhost::render(host, clip, renderOptions).ok();
    // Every request of a refused render fails alike: each message once.
    if (!attempt.written) attempt.failure = joined(host.log().texts(LOG_ERROR), " / ");
    if (!attempt.written && attempt.failure.empty()) attempt.failure = "a request failed without a message";
    return attempt;
}

// The same job through FFmpeg's command line: same encoders, picture and
// pixel format, bit rates and key-frame interval, the same sound sent; FFmpeg
// fits rate, channels and sample format to the encoder its own way. The
// time limit only guards against encoders that never end (libsvtav1 waits for
// ever on some jobs); a loaded machine must never reach it.
Attempt render_with_ffmpeg(const Cell& cell, const Setup& setup, const Attempt& ours) {
    Attempt attempt;
    const size_t dot = ours.path.rfind('.');
    attempt.path = ours.path.substr(0, dot) + ".ffmpeg" + ours.path.substr(dot);
    std::remove(attempt.path.c_str());
    std::ostringstream command;
    command << "timeout -k 5 120 ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size="
            << setup.width << "x" << setup.height << ":rate=25 -f lavfi -i 'sine=frequency=440:sample_rate=" << setup.rate
            << (setup.channels > 1 ? ",pan=stereo|c0=c0|c1=c0" : "") << "' -t " << FRAMES / 25.0 << " -c:v "
            << cell.video << " -g 24 -strict:v experimental";
    if (setup.channels) command << " -c:a " << cell.audio << " -strict:a experimental";
    else command << " -an";
    if (!ours.pixelFormat.empty()) command << " -pix_fmt " << ours.pixelFormat;
    if (setup.kBps) command << " -b:v " << setup.kBps * 8 << "k";
    if (setup.channels && !setup.maximumBitRate) command << " -b:a 192k";
    command << " -f " << cell.container << " '" << attempt.path << "' </dev/null";
    const CommandResult run = run_command(command.str());

    std::istringstream log(run.out);
    std::vector<std::string> lines;
    if (run.status == 124) lines.push_back("did not finish within 120 s");
    for (std::string line; std::getline(log, line);)
        if (line.rfind("Svt[info]", 0) != 0) lines.push_back(line);
    attempt.written = run.status == 0;
    if (!attempt.written) attempt.failure = joined(lines, " / ");
    if (!attempt.written && attempt.failure.empty()) attempt.failure = "failed without a message";
    return attempt;
}

// ASF for streaming wraps each part of an ASF file in a chunk header of 12
// bytes that FFmpeg's file reader does not take: the file those parts make.
std::string unwrapped_asf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string parts;
    for (size_t at = 0; at + 12 <= bytes.size();) {
        const size_t length = uint8_t(bytes[at + 2]) | size_t(uint8_t(bytes[at + 3])) << 8;  // of the part, plus 8
        if (length < 8 || at + 4 + length > bytes.size()) break;
        parts.append(bytes, at + 12, length - 8);
        at += 4 + length;
    }
    const std::string unwrapped = path + ".asf";
    std::ofstream(unwrapped, std::ios::binary) << parts;
    return unwrapped;
}

// Spoilt makes a file useless; the other two are deviations that still play.
enum class Problem { None, Spoilt, PictureTimes, AudioCount };

struct Check {
    Problem problem = Problem::None;
    std::string detail;
    std::vector<std::string> notes;
    double pictureSpan = 0;
    int64_t audioDifference = 0;  // samples decoded minus samples sent, per channel
};

// Codec ids a demuxer may report for an encoder's stream: its container tag
// names the family, whose decoder reads it.
bool same_family(AVCodecID written, AVCodecID read) {
    const std::pair<AVCodecID, AVCodecID> families[] = {
        {AV_CODEC_ID_H263P, AV_CODEC_ID_H263}, {AV_CODEC_ID_LJPEG, AV_CODEC_ID_MJPEG},
        {AV_CODEC_ID_MP2, AV_CODEC_ID_MP3},    {AV_CODEC_ID_EAC3, AV_CODEC_ID_AC3},
        {AV_CODEC_ID_SONIC_LS, AV_CODEC_ID_SONIC},
    };
    for (const auto& [a, b] : families)
        if (written == a && read == b) return true;
    return written == read;
}

// Samples a decoder may give beyond those sent where the container records
// neither the encoder's priming nor the padding of its last frame.
int64_t priming_and_padding(const AVCodec* codec, const Setup& setup, const probe::Stream& sound) {
    const SoundFraming framing =
        sound_framing(codec->name, sound.sample_rate, sound.channels, setup.maximumBitRate ? 0 : 192000);
    return framing.priming + framing.frame;
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
    const std::string readable = cell.container == "asf_stream" ? unwrapped_asf(path) : path;
    const probe::File media = probe::read(readable, options);
    if (readable != path) std::remove(readable.c_str());
    if (!media.opened || !media.errors.empty()) return fail(Problem::Spoilt, media.error_text());

    const AVCodec* videoCodec = avcodec_find_encoder_by_name(cell.video.c_str());
    const AVCodec* audioCodec = avcodec_find_encoder_by_name(cell.audio.c_str());
    const probe::Stream* video = media.first(AVMEDIA_TYPE_VIDEO);
    const probe::Stream* audio = media.first(AVMEDIA_TYPE_AUDIO);
    if (!video) return fail(Problem::Spoilt, "no video stream");
    if (!audio != !setup.channels) return fail(Problem::Spoilt, audio ? "sound not asked for" : "no audio stream");
    if (!same_family(videoCodec->id, video->id)) return fail(Problem::Spoilt, "pictures read as " + video->codec);
    if (audio && !same_family(audioCodec->id, audio->id)) return fail(Problem::Spoilt, "sound read as " + audio->codec);
    if (media.video_frames != FRAMES) return fail(Problem::Spoilt, std::to_string(media.video_frames) + " pictures");
    if (video->width != setup.width || video->height != setup.height)
        return fail(Problem::Spoilt, "pictures of " + std::to_string(video->width) + "x" + std::to_string(video->height));
    // The sound as sent where the encoder takes it, else as the encoder takes it.
    const bool rateKept = audio && audio->sample_rate == (takes_rate(audioCodec, setup.rate) ? setup.rate : audio->sample_rate);
    const bool channelsKept = audio && (takes_channels(audioCodec, setup.channels) ? audio->channels == setup.channels
                                                                                   : audio->channels < setup.channels);
    if (audio && (!rateKept || !channelsKept || !takes_rate(audioCodec, audio->sample_rate) ||
                  !takes_channels(audioCodec, audio->channels)))
        return fail(Problem::Spoilt, "audio of " + std::to_string(audio->sample_rate) + " Hz, " +
                                         std::to_string(audio->channels) + " channels");

    // Presentation times: distinct, rising, one frame apart on average.
    const std::vector<probe::Frame>& frames = media.frames;
    bool timed = true;
    for (const probe::Frame& frame : frames) timed = timed && !std::isnan(frame.time);
    if (timed) {
        for (size_t i = 1; i < frames.size(); ++i)
            if (!(frames[i].time > frames[i - 1].time)) return fail(Problem::PictureTimes, "picture times do not rise");
        check.pictureSpan = frames.back().time - frames.front().time;
        if (std::abs(check.pictureSpan - (FRAMES - 1) / 25.0) > 0.5 / 25.0)
            return fail(Problem::PictureTimes, "pictures span " + std::to_string(check.pictureSpan) + " s");
    } else {
        check.notes.push_back("not every picture has a time");
    }

    if (!audio) return check;
    // Every sample sent comes back, plus at most the encoder's priming and padding.
    const int64_t sent = std::llround(FRAMES / 25.0 * audio->sample_rate);
    check.audioDifference = media.audio_samples - sent;
    check.notes.push_back("audio " + std::string(check.audioDifference >= 0 ? "+" : "") +
                          std::to_string(check.audioDifference));
    if (check.audioDifference < 0 || check.audioDifference > priming_and_padding(audioCodec, setup, *audio))
        return fail(Problem::AudioCount, std::to_string(media.audio_samples) + " samples of " + std::to_string(sent));
    return check;
}

// The module's file against FFmpeg's own of the same job: the same deviation,
// or both files spoilt.
bool same_shortfall(const Check& module, const Check& ffmpeg) {
    if (module.problem != ffmpeg.problem) return false;
    if (module.problem == Problem::PictureTimes) return std::abs(module.pictureSpan - ffmpeg.pictureSpan) < 1e-3;
    return module.problem == Problem::Spoilt || std::abs(module.audioDifference - ffmpeg.audioDifference) <= 2;
}

enum class Result { Ok, Skipped, Failed };
struct Outcome {
    Result result;
    std::string text;
};

Outcome run_cell(const std::shared_ptr<qelhost::Module>& module, const Cell& cell, const std::string& directory) {
    LeaksIgnored ignored(drives_a_device(cell.video) || drives_a_device(cell.audio) ||
                         (cell.container == "wtv" && cell.video == "rawvideo"));
    Setup setup;
    Attempt ours = render_with_module(module, cell, setup, directory);
    Check check = ours.written ? judge(cell, setup, ours.path) : Check{};
    if ((!ours.written || check.problem == Problem::Spoilt) && retry_setup(cell, setup)) {
        ours = render_with_module(module, cell, setup, directory);
        check = ours.written ? judge(cell, setup, ours.path) : Check{};
    }
    const std::string at = setup.note.empty() ? "" : "at " + setup.note;

    if (!ours.written) {
        const Attempt reference = render_with_ffmpeg(cell, setup, ours);
        std::remove(reference.path.c_str());
        if (!reference.written)
            return {Result::Skipped, joined({at, "FFmpeg cannot write it: its command line fails too (" +
                                                     reference.failure + "); the module says: " + ours.failure})};
        return {Result::Failed, joined({at, ours.failure, "FFmpeg's command line writes it"})};
    }
    if (check.problem == Problem::None) {
        std::remove(ours.path.c_str());
        return {Result::Ok, joined({at, joined(check.notes)})};
    }
    const Attempt reference = render_with_ffmpeg(cell, setup, ours);
    const Check theirs = reference.written ? judge(cell, setup, reference.path) : Check{};
    if (!reference.written || !same_shortfall(check, theirs)) {
        const std::string said = !reference.written ? reference.failure
                                 : theirs.problem == Problem::None ? "fine" : theirs.detail;
        return {Result::Failed, joined({at, check.detail, "FFmpeg's command line: " + said})};
    }
    std::remove(ours.path.c_str());
    std::remove(reference.path.c_str());
    // Deviations that still play are FFmpeg's behaviour; spoilt files are its limit.
    if (check.problem != Problem::Spoilt)
        return {Result::Ok, joined({at, joined(check.notes), check.detail + ", as in FFmpeg's own file of the same job"})};
    return {Result::Skipped, joined({at, "FFmpeg's own file of the same job is spoilt too (" + theirs.detail +
                                             "); the module's: " + check.detail})};
}

// A group is one container's video encoders (each with the default audio
// encoder) or its audio encoders (each with the default video encoder; the
// pair of both defaults is in the video group). Groups run in parallel.
struct Group {
    std::string container;
    int containerIndex = 0;
    bool audioPart = false;
    std::string name() const { return container + (audioPart ? "_audio" : "_video"); }
};
void PrintTo(const Group& group, std::ostream* out) { *out << group.name(); }

// The encoder lists as the panel shows them, "-- NO VIDEO --" (or audio) first;
// the panel's reset choice is the first encoder of the container's default codec.
std::vector<Cell> cells(const Group& group) {
    EncoderList video, audio;
    if (const AVOutputFormat* muxer = find_muxer(group.container.c_str())) {
        list_container_encoders(*muxer, video, true);
        list_container_encoders(*muxer, audio, false);
    }
    const auto default_index = [](const EncoderList& list) {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].is_default) return int(i);
        return -1;
    };
    const int defaultVideo = default_index(video), defaultAudio = default_index(audio);
    std::vector<Cell> result;
    if (defaultVideo < 0 || defaultAudio < 0) return result;
    const EncoderList& varied = group.audioPart ? audio : video;
    for (int i = 1; i < int(varied.size()); ++i) {
        if (group.audioPart && i == defaultAudio) continue;
        const int v = group.audioPart ? defaultVideo : i, a = group.audioPart ? i : defaultAudio;
        result.push_back({group.container, group.containerIndex, video[size_t(v)].name, v, audio[size_t(a)].name, a});
    }
    return result;
}

std::vector<Group> groups() {
    ContainerList containers;
    list_containers(containers);
    std::vector<Group> result;
    for (size_t i = 0; i < containers.size(); ++i)
        for (bool audioPart : {false, true})
            if (Group group{containers[i].name, int(i), audioPart}; !cells(group).empty()) result.push_back(group);
    return result;
}

class Interop : public testing::TestWithParam<Group> {};

TEST_P(Interop, EveryEncoderPairWritesAFileFFmpegReadsBackWhole) {
    const Group& group = GetParam();
    const std::string directory = OUTPUT_DIR + "/files/" + group.name();
    std::filesystem::create_directories(directory);
    const auto module = qelhost::Module::load(QEL_MODULE_PATH);
    int written = 0;
    for (const Cell& cell : cells(group)) {
        const Outcome outcome = run_cell(module, cell, directory);
        const char* word = outcome.result == Result::Ok ? "ok" : outcome.result == Result::Skipped ? "skipped" : "FAILED";
        std::cout << "| " << cell.container << " | " << cell.video << " | " << cell.audio << " | " << word
                  << (outcome.text.empty() ? "" : ": " + outcome.text) << " |" << std::endl;
        EXPECT_NE(outcome.result, Result::Failed) << cell.container << " " << cell.video << " + " << cell.audio
                                                  << ": " << outcome.text;
        written += outcome.result == Result::Ok;
    }
    // A group whose every cell is skipped would pass without a file read back.
    EXPECT_GT(written, 0) << "no pair of " << group.name() << " was written and read back";
}

INSTANTIATE_TEST_SUITE_P(Containers, Interop, testing::ValuesIn(groups()),
                         [](const testing::TestParamInfo<Group>& info) { return info.param.name(); });

}  // namespace
