#include "control_settings.h"

#include "host/harness/standin_host.h"

#include "catalogue/catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

namespace {

using qelhost::Control;
using qelhost::ControlKind;

constexpr const char* CHANNEL_PREFIX = "ffaudioChan";

// Lists first, then what hangs on them: a container change puts the encoders
// on their defaults, an encoder change the profile and pixel format, and the
// bit rate enables the bit-rate mode, and PQ the mastering values.
int stage(const std::string& id) {
    if (id == "klavformat") return 0;
    if (id == "klavvideocodec" || id == "klavaudiocodec") return 1;
    if (id == "klavvidprofile" || id == "klavpixelfmt" || id == "klavaudprofile") return 2;
    if (id == "klavvidbitrate" || id == "klavcolour") return 3;
    return 4;
}

// An item as the panel shows a catalogue label: its choices are one text
// split at ',', so a ',' inside a label comes as '.'; cut at 255.
std::string shown(const char* label) {
    std::string item(label ? label : "");
    if (item.size() > 255) item.resize(255);
    std::replace(item.begin(), item.end(), ',', '.');
    return item;
}

// Short names behind the items of the container and encoder choices. The
// stand-in host is built from the module's sources, so it asks the same
// catalogue code for the names; a list that does not match the panel's item
// for item gives no names.
std::vector<std::string> short_names(qelhost::StandinHost& host, const Control& control) {
    std::vector<std::string> names;
    ContainerList containers;
    list_containers(containers);
    auto matches = [&control](size_t size, auto label_at) {
        if (size != control.choices.size()) return false;
        for (size_t i = 0; i < size; ++i)
            if (shown(label_at(i)) != control.choices[i]) return false;
        return true;
    };

    if (control.identifier == "klavformat") {
        if (matches(containers.size(), [&](size_t i) { return containers[i].long_name; }))
            for (const ContainerEntry& entry : containers) names.emplace_back(entry.name);
        return names;
    }
    const bool video = control.identifier == "klavvideocodec";
    if (!video && control.identifier != "klavaudiocodec") return names;
    const Control* format = host.controls().find("klavformat");
    const int32_t index = format ? format->int_value() : -1;
    if (index < 0 || size_t(index) >= containers.size()) return names;
    const AVOutputFormat* muxer = find_muxer(containers[size_t(index)].name);
    if (!muxer) return names;
    EncoderList encoders;
    list_container_encoders(*muxer, encoders, video);
    if (matches(encoders.size(), [&](size_t i) { return encoders[i].label; }))
        for (const EncoderEntry& entry : encoders) names.emplace_back(entry.name);
    return names;
}

std::optional<long> whole_number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end || errno == ERANGE) return std::nullopt;
    return value;
}

std::optional<double> choice_value(qelhost::StandinHost& host, const Control& control, const std::string& value,
                                   std::string& valid) {
    for (size_t i = 0; i < control.choices.size(); ++i)
        if (control.choices[i] == value) return double(i);
    const std::vector<std::string> names = short_names(host, control);
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == value) return double(i);
    if (const auto index = whole_number(value))
        if (*index >= 0 && size_t(*index) < control.choices.size()) return double(*index);

    valid = "one of these items (or its index):";
    for (size_t i = 0; i < control.choices.size(); ++i) {
        valid += "\n  " + std::to_string(i) + "  ";
        if (i < names.size() && names[i] != control.choices[i]) valid += names[i] + "  ";
        valid += "\"" + control.choices[i] + "\"";
    }
    return std::nullopt;
}

std::optional<double> toggle_value(const std::string& value, std::string& valid) {
    static const char* const on[] = {"on", "1", "true", "yes"};
    static const char* const off[] = {"off", "0", "false", "no"};
    for (const char* word : on)
        if (value == word) return 1.0;
    for (const char* word : off)
        if (value == word) return 0.0;
    valid = "on or off (also 1/0, true/false, yes/no)";
    return std::nullopt;
}

std::optional<double> number_value(const Control& control, const std::string& value, std::string& valid) {
    const auto number = whole_number(value);
    if (number && double(*number) >= control.minimum && double(*number) <= control.maximum) return double(*number);
    char text[96];
    std::snprintf(text, sizeof text, "a whole number from %g to %g", control.minimum, control.maximum);
    valid = text;
    return std::nullopt;
}

std::string valid_identifiers(const qelhost::ControlSet& controls) {
    std::string list;
    for (const Control& control : controls.all()) {
        if (control.kind == ControlKind::Label) continue;
        list += "\n  " + control.identifier + "  (" + kind_name(control.kind) + ")";
    }
    return list;
}

}  // namespace

bool parse_control_setting(const std::string& text, ControlSetting& setting, std::string& error) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        error = "--set wants ID=VALUE, not \"" + text + "\"";
        return false;
    }
    setting = {text.substr(0, equals), text.substr(equals + 1)};
    return true;
}

std::vector<ControlSetting> with_render_defaults(std::vector<ControlSetting> settings, int host_channels) {
    auto given = [&settings](const char* id) {
        return std::any_of(settings.begin(), settings.end(), [id](const ControlSetting& s) { return s.first == id; });
    };
    std::vector<ControlSetting> defaults;
    const bool container = given("klavformat");
    if (!container) defaults.emplace_back("klavformat", "mp4");
    if (!container && !given("klavvideocodec")) defaults.emplace_back("klavvideocodec", "libx264");
    if (!container && !given("klavvideocodec") && !given("klavvidprofile"))
        defaults.emplace_back("klavvidprofile", "High");
    if (!container && !given("klavfaststart")) defaults.emplace_back("klavfaststart", "on");
    // Each toggle on unless given: one channel turned off keeps the others.
    for (int n = 1; n <= std::min(host_channels, 16); ++n)
        if (!given((CHANNEL_PREFIX + std::to_string(n)).c_str()))
            defaults.emplace_back(CHANNEL_PREFIX + std::to_string(n), "on");
    defaults.insert(defaults.end(), settings.begin(), settings.end());
    return defaults;
}

bool apply_control_settings(qelhost::StandinHost& host, const std::vector<ControlSetting>& settings,
                            std::string& error) {
    // The last value given for a control counts.
    std::vector<ControlSetting> ordered;
    for (const ControlSetting& setting : settings) {
        auto same = std::find_if(ordered.begin(), ordered.end(),
                                 [&setting](const ControlSetting& s) { return s.first == setting.first; });
        if (same != ordered.end())
            same->second = setting.second;
        else
            ordered.push_back(setting);
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const ControlSetting& a, const ControlSetting& b) { return stage(a.first) < stage(b.first); });

    for (const auto& [id, value] : ordered) {
        const Control* control = host.controls().find(id);
        if (!control || control->kind == ControlKind::Label) {
            error = "no control \"" + id + "\" in the panel; the controls are:" + valid_identifiers(host.controls());
            return false;
        }
        if (!control->enabled) {
            error = id + " is disabled in the panel for the choices made (now " + control->value_text() + ")";
            return false;
        }
        std::string valid;
        std::optional<double> number;
        switch (control->kind) {
        case ControlKind::Choice: number = choice_value(host, *control, value, valid); break;
        case ControlKind::Toggle: number = toggle_value(value, valid); break;
        case ControlKind::Number: number = number_value(*control, value, valid); break;
        case ControlKind::Label: break;
        }
        if (!number) {
            error = "\"" + value + "\" is not a value of " + id + "; it takes " + valid;
            return false;
        }
        if (!host.change(id, *number)) {
            error = "the module refused the change of " + id;
            return false;
        }
    }
    return true;
}
