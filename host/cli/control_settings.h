// Control values given on the command line ("ID=VALUE"), set in the panel as
// a user would: one change at a time, each reported to the module, lists
// before what depends on them.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qelhost {
class StandinHost;
}

using ControlSetting = std::pair<std::string, std::string>;

// "ID=VALUE" → (ID, VALUE); false with `error` set for text without '='.
bool parse_control_setting(const std::string& text, ControlSetting& setting, std::string& error);

// What qelhost renders with unless told otherwise: mp4, libx264, High,
// faststart, every channel the host offers. A default gives way to a
// setting of its own control or of a control it depends on (a container
// given on the command line brings the module's own encoder defaults).
std::vector<ControlSetting> with_render_defaults(std::vector<ControlSetting> settings, int host_channels);

// Sets each value and reports the change to the module. A choice takes an
// item's text, its index, or the short name of a container or encoder
// ("mov", "libx264"). Stops at the first value refused, with the valid ones
// in `error`.
bool apply_control_settings(qelhost::StandinHost& host, const std::vector<ControlSetting>& settings,
                            std::string& error);
