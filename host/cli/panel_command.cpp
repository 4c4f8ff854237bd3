// qelhost panel: the controls the module creates in the host's panel.
#include "commands.h"
#include "control_settings.h"

#include "host/tools/ffmpeg_log.h"
#include "host/tools/panel_view.h"
#include "host/harness/standin_host.h"

#include "standin.h"

extern "C" {
#include <libavutil/log.h>
}

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct PanelOptions {
    std::string module = qelhost::default_module_path();
    bool json = false;
    int channels = 16;
    std::vector<std::string> sets;
};

void run_panel(const PanelOptions& options) {
    standin_set_max_audio_channels(options.channels);
    // A host that uses FFmpeg itself: its warnings and errors go to stderr.
    qelhost::FfmpegLog ffmpegLog(AV_LOG_WARNING, [](const std::string& line) {
        std::fprintf(stderr, "[ffmpeg] %s\n", line.c_str());
    });
    std::unique_ptr<qelhost::StandinHost> host;
    try {
        qelhost::HostOptions hostOptions;
        hostOptions.echo_level = 3;  // warnings and errors
        host = std::make_unique<qelhost::StandinHost>(qelhost::Module::load(options.module), hostOptions);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qelhost: %s\n", e.what());
        throw CLI::RuntimeError(2);
    }
    // As a host opening a new project: create the instance, then restore.
    if (!host->init()) {
        std::fprintf(stderr, "qelhost: the module refused ACTION_INIT\n");
        throw CLI::RuntimeError(1);
    }
    host->restore();
    // Values chosen after the panel opened, as the user would.
    std::vector<ControlSetting> settings;
    for (const std::string& text : options.sets) {
        ControlSetting setting;
        std::string error;
        if (!parse_control_setting(text, setting, error)) {
            std::fprintf(stderr, "qelhost: %s\n", error.c_str());
            throw CLI::RuntimeError(2);
        }
        settings.push_back(setting);
    }
    std::string error;
    if (!apply_control_settings(*host, settings, error)) {
        std::fprintf(stderr, "qelhost: %s\n", error.c_str());
        throw CLI::RuntimeError(2);
    }

    if (options.json) {
        nlohmann::json out;
        out["module"] = host->module().path();
        out["controls"] = qelhost::panel_json(host->controls());
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        std::printf("Panel of %s: %zu controls\n\n%s\n%s", host->module().path().c_str(),
                    host->controls().all().size(), (qelhost::panel_grid(host->controls()) +
                        "(choices end in v; toggles [x]/x on, [ ]/- off; disabled controls in parentheses)\n")
                           .c_str(),
                    qelhost::panel_table(host->controls()).c_str());
    }
    const bool clean = host->faults().empty() && !ffmpegLog.report_changed_level();
    host.reset();
    if (!clean) throw CLI::RuntimeError(1);
}

}  // namespace

void add_panel_command(CLI::App& app) {
    auto options = std::make_shared<PanelOptions>();
    CLI::App* panel = app.add_subcommand("panel", "Create an instance and print the controls of its panel");
    panel->add_option("--module", options->module, "Module to load")->capture_default_str();
    panel->add_flag("--json", options->json, "Print the controls as JSON");
    panel->add_option("--channels", options->channels, "Audio channels the host offers")->capture_default_str();
    panel->add_option("--set", options->sets,
                      "Change a control after the panel opened, ID=VALUE (as for render), repeatable");
    panel->callback([options] { run_panel(*options); });
}
