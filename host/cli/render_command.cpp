// qelhost render: a clip rendered through the module as the host renders it.
// INIT, the panel's values, RESTORE, one PROCESS per frame, a final PROCESS
// with an empty path, EXIT.
#include "commands.h"
#include "control_settings.h"
#include "join_program.h"
#include "progress.h"
#include "render_clip.h"
#include "render_options.h"
#include "render_report.h"
#include "stop_signals.h"

#include "host/tools/ffmpeg_log.h"
#include "host/tools/media_clip.h"
#include "host/harness/render.h"
#include "host/harness/standin_host.h"

#include "standin.h"

extern "C" {
#include <libavutil/log.h>
}

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

[[noreturn]] void fail(const std::string& message, int status) {
    std::fprintf(stderr, "qelhost: %s\n", message.c_str());
    throw CLI::RuntimeError(status);
}

namespace {

// Where the host's and FFmpeg's messages go while a render runs. Encoders
// log from their own threads, so the terminal is taken in turn.
ProgressDisplay* g_display = nullptr;
std::mutex g_terminal;

void print_message(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_terminal);
    if (g_display)
        g_display->message(line);
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

void run_render(const RenderCommandOptions& options) {
    std::vector<ControlSetting> settings;
    for (const std::string& text : options.sets) {
        ControlSetting setting;
        std::string error;
        if (!parse_control_setting(text, setting, error)) fail(error);
        settings.push_back(setting);
    }

    std::unique_ptr<qelhost::ClipSource> clip = make_clip(options);
    if (clip->frame_count() <= 0) fail("the clip has no frames to render");
    int64_t firstFrame = 0, lastFrame = clip->frame_count() - 1;
    if (!options.range.empty()) {
        long long first = 0, last = 0;
        char rest = 0;
        if (std::sscanf(options.range.c_str(), "%lld-%lld%c", &first, &last, &rest) != 2 || first < 0 || last < first)
            fail("--range takes FIRST-LAST, frames of the clip counted from 0: " + options.range);
        if (last > lastFrame)
            fail("--range " + options.range + " goes beyond the clip's " + std::to_string(clip->frame_count()) +
                 " frames (0-" + std::to_string(lastFrame) + ")");
        firstFrame = first;
        lastFrame = last;
    }
    if (!options.timecode.empty()) {
        std::string error;
        const auto counter = qelhost::TimecodeCounter::parse(options.timecode, clip->fps(), error);
        if (!counter) fail("--timecode: " + error);
        clip->set_first_timecode(*counter);
    }
    // The host knows only which field comes first: tt and tb are its upper
    // field first, bb and bt its lower.
    static const std::map<std::string, int32_t> hostFieldOrders{
        {"progressive", 0}, {"tt", 1}, {"tb", 1}, {"bb", 2}, {"bt", 2}};
    clip->set_field_order(hostFieldOrders.at(options.field_order));
    const std::optional<qelhost::AudioClip> sound = clip->audio();
    const int hostChannels = sound ? sound->channels : 0;
    // The host offers as many channels as the clip has; the panel makes a toggle for each.
    standin_set_max_audio_channels(hostChannels);

    // The module and qelhost share one libavutil: FFmpeg's own lines (the
    // muxer's summary, the encoders' notes) come here.
    std::optional<qelhost::FfmpegLog> ffmpegLog(std::in_place, options.verbose ? AV_LOG_INFO : AV_LOG_WARNING,
                                                print_message);

    std::unique_ptr<qelhost::StandinHost> host;
    try {
        qelhost::HostOptions hostOptions;
        hostOptions.echo_level = options.verbose ? 0 : 2;
        host = std::make_unique<qelhost::StandinHost>(qelhost::Module::load(options.module), hostOptions);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    host->log().keep = false;
    host->log().sink = [](int level, const std::string& text) {
        std::string line = std::string("[") + qelhost::HostLog::level_name(level) + "] " + text;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        print_message(line);
    };

    if (!host->init()) fail("the module refused ACTION_INIT", 1);
    std::string error;
    if (!apply_control_settings(*host, with_render_defaults(settings, hostChannels), error)) fail(error);
    if (!host->restore()) fail("the module refused ACTION_RESTORE", 1);

    QEL_OutputInfo info{};
    const char* extension = host->output_info(info) ? info.extension : nullptr;
    const std::string output = options.output.empty() ? default_output(options, extension) : options.output;
    const std::filesystem::path folder = std::filesystem::path(output).parent_path();
    std::error_code folderError;
    if (!folder.empty()) std::filesystem::create_directories(folder, folderError);
    if (folderError) fail("cannot create " + folder.string() + ": " + folderError.message());
    // What a dead render left is kept as far as it is whole; the rest is
    // rendered as a segment, and the join makes the one movie of them.
    int64_t continueFrom = 0;
    if (options.continue_render) {
        std::string printed;
        long long kept = 0;
        if (run_join_program({output, "--resume-point", "--frames", std::to_string(lastFrame + 1)}, &printed) != 0 ||
            std::sscanf(printed.c_str(), "%lld", &kept) != 1 || kept < 0 || kept > lastFrame)
            fail("qeljoin could not tell where to continue <" + output + ">", 1);
        continueFrom = kept;
        if (continueFrom > 0) {
            print_message("qelhost: what the render of <" + output + "> left holds frames 0 to " +
                          std::to_string(continueFrom - 1) + " whole; frames " + std::to_string(continueFrom) +
                          " to " + std::to_string(lastFrame) + " are rendered and joined to them");
            firstFrame = continueFrom;
            if (!host->change("klavsegment", 1)) fail("the module offers no segment control", 1);
        } else {
            print_message("qelhost: nothing an earlier render of <" + output + "> left can be kept; it starts over");
        }
    }
    describe(*host, *clip, output);

    ProgressDisplay display(lastFrame - firstFrame + 1, isatty(STDERR_FILENO) != 0);
    g_display = &display;
    qelhost::RenderOptions renderOptions;
    renderOptions.path = output;
    renderOptions.split = options.split;
    renderOptions.first_frame = firstFrame;
    renderOptions.last_frame = lastFrame;
    renderOptions.direct = !options.indirect;
    int64_t done = 0;
    qelhost::NodeServices& node = host->node();
    const int64_t crashAfter = options.crash_after;
    renderOptions.progress = [&display, &done, &node, crashAfter](int64_t, bool) {
        // A host that dies: no signal handler, no final request, no exit.
        if (++done == crashAfter) std::raise(SIGKILL);
        // The node keeps what each request asked for; a long render needs none of it.
        if (done % 1000 == 0) node.clear_history();
        std::lock_guard<std::mutex> lock(g_terminal);
        display.frame_done(done);
    };
    if (options.crash_in_finish) renderOptions.before_finish = [] { standin_crash_in_copy(true); };
    StopSignals signals;
    renderOptions.stop = [] { return StopSignals::caught() != 0; };
    const qelhost::RenderResult result = qelhost::render(*host, *clip, renderOptions);
    {
        std::lock_guard<std::mutex> lock(g_terminal);
        display.finish();
    }
    const double seconds = display.elapsed_seconds();

    if (auto* media = dynamic_cast<qelhost::MediaClip*>(clip.get()); media && media->held_frames() > 0)
        print_message("qelhost: the file held " + std::to_string(media->held_frames()) +
                      " frames fewer than it announced; the last picture stood in for them");
    host->exit();
    {
        std::lock_guard<std::mutex> lock(g_terminal);
        g_display = nullptr;
    }
    const bool faults = !host->faults().empty() || ffmpegLog->report_changed_level();
    host.reset();
    ffmpegLog.reset();

    int status = summarise(result, *clip, seconds, faults, result.stopped ? StopSignals::caught() : 0);
    if (status == 0 && continueFrom > 0 &&
        run_join_program({output, "--continue", "--frames", std::to_string(lastFrame + 1)}) != 0) {
        std::fprintf(stderr, "qelhost: the rendered frames and the leftover of <%s> were not joined; both stay\n",
                     output.c_str());
        status = 1;
    }
    if (status != 0) throw CLI::RuntimeError(status);
}

}  // namespace

void add_render_command(CLI::App& app) {
    auto options = std::make_shared<RenderCommandOptions>();
    CLI::App* render = app.add_subcommand(
        "render",
        "Render a clip through the module as the host does. Without --input: 10 s of a 1920x1080 test picture at "
        "25 fps with its timecode burnt in and a stereo 48 kHz tone, as mp4/libx264/High with faststart, to "
        "out/demo.mp4");
    CLI::Option* input =
        render->add_option("--input,-i", options->input, "Media file to render (anything FFmpeg reads)")
            ->check(CLI::ExistingFile);
    render
        ->add_option("--raw", options->raw,
                     "File of raw rgba64le pictures of --size (no sound); frames past its end start it again")
        ->check(CLI::ExistingFile)
        ->excludes(input);
    render
        ->add_option("--set", options->sets,
                     "Control value ID=VALUE, repeatable; a choice takes the item's text, its index, or a container "
                     "or encoder short name (klavformat=mov, klavvideocodec=libx264)")
        ->allow_extra_args(false);
    render->add_option("--frames", options->frames, "Frames to render (default: the whole clip)")
        ->check(CLI::Range(int64_t(1), INT64_MAX));
    render->add_option("--size", options->size, "Picture size WIDTHxHEIGHT (an input is scaled)");
    render->add_option("--fps", options->fps, "Frames per second (an input's frames are relabelled)")
        ->check(CLI::PositiveNumber);
    render->add_option("--audio-rate", options->audio_rate, "The host's sample rate (an input is resampled)")
        ->check(CLI::PositiveNumber);
    render->add_option("--audio-bits", options->audio_bits, "The host's sample size")
        ->check(CLI::IsMember({16, 24, 32}));
    render->add_option("--audio-channels", options->audio_channels, "The host's channels; 0 for a clip without sound")
        ->check(CLI::Range(0, 32));
    render->add_option("--cuts", options->cuts, "Frames where a new timeline segment begins, e.g. 50,120")
        ->delimiter(',')
        ->check(CLI::NonNegativeNumber);
    render
        ->add_option("--range", options->range,
                     "Render only frames FIRST-LAST of the clip (counted from 0), as a farm task renders its part of "
                     "a timeline: requests, sound, timecode and cuts as they fall there")
        ->check([](const std::string& text) { return text.find('-') == std::string::npos ? "FIRST-LAST" : ""; });
    render->add_option("--split", options->split, "A new output file every N frames (name_1.ext, name_2.ext, ...)")
        ->check(CLI::Range(int64_t(1), INT64_MAX));
    render
        ->add_option("--timecode", options->timecode,
                     "The first frame's timecode HH:MM:SS:FF, or HH:MM:SS;FF for drop-frame at 29.97 or 59.94 "
                     "(default 00:00:00:00)");
    render
        ->add_option("--field-order", options->field_order,
                     "Field order of every frame: tt or tb (upper field first), bb or bt (lower), progressive")
        ->check(CLI::IsMember({"tt", "bb", "tb", "bt", "progressive"}))
        ->capture_default_str();
    render->add_option("-o,--output", options->output, "Output file (default out/demo.EXT, or out/INPUT-NAME.EXT)");
    render->add_flag("-v,--verbose", options->verbose, "Show the verbose log lines and FFmpeg's notes");
    render->add_flag("--indirect", options->indirect, "Hand over images the module has to copy before reading");
    render
        ->add_option("--crash-after", options->crash_after,
                     "End the process with SIGKILL right after frame request N, as a host crash would")
        ->check(CLI::Range(int64_t(1), INT64_MAX));
    render->add_flag("--crash-in-finish", options->crash_in_finish,
                     "End the process with SIGKILL halfway through the module's copy of the movie at the end "
                     "(the faststart rewrite)");
    render
        ->add_flag("--continue", options->continue_render,
                   "Continue a render of the same output that died: the frames its leftover (the output's "
                   "unfinished name) holds whole are kept, the rest rendered as a segment, and qeljoin joins them")
        ->excludes("--range")
        ->excludes("--split");
    render->add_option("--module", options->module, "Module to load")->capture_default_str();
    render->callback([options] { run_render(*options); });
}
