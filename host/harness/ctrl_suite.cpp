// The "Ctrl" suite: the controls of the panel as the host keeps them.
#include "controls.h"
#include "standin_host.h"
#include "suite_tables.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qelhost {

// Handles are not indexes: a module that confuses the two shows up at once.
constexpr uint32_t FIRST_HANDLE = 1001;

const char* kind_name(ControlKind kind) {
    switch (kind) {
    case ControlKind::Label: return "label";
    case ControlKind::Choice: return "choice";
    case ControlKind::Toggle: return "toggle";
    case ControlKind::Number: return "number";
    }
    return "?";
}

std::vector<std::string> split_choices(std::string_view text) {
    std::vector<std::string> items;
    if (text.empty()) return items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        items.emplace_back(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return items;
}

std::string Control::chosen() const {
    const int32_t i = int_value();
    return (i >= 0 && size_t(i) < choices.size()) ? choices[size_t(i)] : std::string();
}

std::string Control::shown_label() const {
    if (kind != ControlKind::Choice) return label;
    std::string shown = label;
    const size_t at = shown.find("%s");
    if (at != std::string::npos) shown.replace(at, 2, chosen());
    return shown;
}

std::string Control::value_text() const {
    switch (kind) {
    case ControlKind::Label: return "";
    case ControlKind::Choice: return chosen();
    case ControlKind::Toggle: return value != 0 ? "on" : "off";
    case ControlKind::Number: {
        char text[64];
        std::snprintf(text, sizeof text, "%g", value);
        return text;
    }
    }
    return "";
}

uint32_t ControlSet::create(ControlKind kind, const char* id, const char* label) {
    Control control;
    control.handle = FIRST_HANDLE + uint32_t(m_controls.size());
    control.kind = kind;
    control.identifier = id ? id : "";
    control.label = label ? label : "";
    if (kind != ControlKind::Label && control.identifier.empty())
        m_faults.add(std::string("Ctrl: ") + kind_name(kind) + " \"" + control.label + "\" created without identifier");
    if (!control.identifier.empty() && find(std::string_view(control.identifier)))
        m_faults.add("Ctrl: identifier " + control.identifier + " created twice");
    m_controls.push_back(std::move(control));
    return m_controls.back().handle;
}

Control* ControlSet::find(uint32_t handle) {
    if (handle < FIRST_HANDLE || handle - FIRST_HANDLE >= m_controls.size()) return nullptr;
    return &m_controls[handle - FIRST_HANDLE];
}

Control* ControlSet::find(std::string_view identifier) {
    for (Control& control : m_controls)
        if (!identifier.empty() && control.identifier == identifier) return &control;
    return nullptr;
}

const Control* ControlSet::find(std::string_view identifier) const {
    return const_cast<ControlSet*>(this)->find(identifier);
}

Control* ControlSet::existing(uint32_t handle, const char* entry) {
    Control* control = find(handle);
    if (!control) m_faults.add(std::string("Ctrl: ") + entry + " on unknown control " + std::to_string(handle));
    return control;
}

void ControlSet::record(const char* entry, const Control* control, const std::string& detail) {
    std::string line = entry;
    line += '(';
    if (control) line += control->identifier.empty() ? "\"" + control->label + "\"" : control->identifier;
    if (!detail.empty()) line += (control ? ", " : "") + detail;
    line += ')';
    m_calls.push_back(std::move(line));
}

uint32_t ControlSet::add_label(const char* text) {
    const uint32_t handle = create(ControlKind::Label, nullptr, text);
    record("add_label", find(handle), "");
    return handle;
}

uint32_t ControlSet::add_choice(const char* id, const char* label, const char* choices, int32_t initial_index) {
    const uint32_t handle = create(ControlKind::Choice, id, label);
    Control& control = *find(handle);
    control.choices_text = choices ? choices : "";
    control.choices = split_choices(control.choices_text);
    control.value = initial_index;
    record("add_choice", &control, "\"" + control.choices_text + "\", " + std::to_string(initial_index));
    return handle;
}

uint32_t ControlSet::add_toggle(const char* id, const char* label, bool initial, bool flag) {
    const uint32_t handle = create(ControlKind::Toggle, id, label);
    Control& control = *find(handle);
    control.value = initial ? 1 : 0;
    control.flag = flag;
    record("add_toggle", &control, std::string(initial ? "on" : "off") + (flag ? ", flag" : ""));
    return handle;
}

uint32_t ControlSet::add_number(const char* id, const char* label, double initial, double minimum, double maximum,
                                double increment, bool flag) {
    const uint32_t handle = create(ControlKind::Number, id, label);
    Control& control = *find(handle);
    control.value = initial;
    control.minimum = minimum;
    control.maximum = maximum;
    control.increment = increment;
    control.flag = flag;
    record("add_number", &control, control.value_text());
    return handle;
}

void ControlSet::place(uint32_t handle, float row, float column, float width, float height) {
    if (Control* control = existing(handle, "place")) {
        control->placement = {true, row, column, width, height};
        char detail[96];
        std::snprintf(detail, sizeof detail, "%g, %g, %g, %g", row, column, width, height);
        record("place", control, detail);
    }
}

void ControlSet::enable(uint32_t handle, bool on) {
    if (Control* control = existing(handle, "enable")) {
        control->enabled = on;
        record("enable", control, on ? "on" : "off");
    }
}

void ControlSet::disable(uint32_t handle) {
    if (Control* control = existing(handle, "disable")) {
        control->enabled = false;
        record("disable", control, "");
    }
}

void ControlSet::set_selectable(uint32_t handle, bool on) {
    if (Control* control = existing(handle, "set_selectable")) {
        control->selectable = on;
        if (on) control->fixed = false;
        record("set_selectable", control, on ? "on" : "off");
    }
}

void ControlSet::set_fixed(uint32_t handle) {
    if (Control* control = existing(handle, "set_fixed")) {
        control->fixed = true;
        control->selectable = false;
        record("set_fixed", control, "");
    }
}

bool ControlSet::get_bool(uint32_t handle) {
    if (handle == 0) return false;  // the host answers false for "no control"
    Control* control = existing(handle, "get_bool");
    return control && control->value != 0;
}

void ControlSet::set_bool(uint32_t handle, bool value) {
    if (Control* control = existing(handle, "set_bool")) {
        control->value = value ? 1 : 0;
        record("set_bool", control, value ? "on" : "off");
    }
}

int32_t ControlSet::get_int(uint32_t handle) {
    if (handle == 0) return 0;
    Control* control = existing(handle, "get_int");
    return control ? control->int_value() : 0;
}

void ControlSet::set_int(uint32_t handle, int32_t value) {
    if (Control* control = existing(handle, "set_int")) {
        control->value = value;
        record("set_int", control, std::to_string(value));
    }
}

void ControlSet::set_choices(uint32_t handle, const char* choices) {
    if (Control* control = existing(handle, "set_choices")) {
        if (control->kind != ControlKind::Choice)
            m_faults.add("Ctrl: set_choices on " + std::string(kind_name(control->kind)) + " " + control->identifier);
        control->choices_text = choices ? choices : "";
        control->choices = split_choices(control->choices_text);
        record("set_choices", control, "\"" + control->choices_text + "\"");
    }
}

bool ControlSet::set_value(std::string_view identifier, double value) {
    Control* control = find(identifier);
    if (!control) return false;
    control->value = value;
    return true;
}

bool ControlSet::choose(std::string_view identifier, std::string_view item) {
    Control* control = find(identifier);
    if (!control || control->kind != ControlKind::Choice) return false;
    for (size_t i = 0; i < control->choices.size(); ++i) {
        if (control->choices[i] == item) {
            control->value = double(i);
            return true;
        }
    }
    char* end = nullptr;
    const std::string text(item);
    const long index = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || index < 0 || size_t(index) >= control->choices.size()) return false;
    control->value = double(index);
    return true;
}

namespace {

ControlSet& panel() { return require_active_host("Ctrl").controls(); }

uint32_t add_label(const char* text) { return panel().add_label(text); }
uint32_t add_choice(const char* id, const char* label, const char* choices, int32_t initial) {
    return panel().add_choice(id, label, choices, initial);
}
uint32_t add_toggle(const char* id, const char* label, bool initial, bool flag) {
    return panel().add_toggle(id, label, initial, flag);
}
uint32_t add_number(const char* id, const char* label, double initial, double minimum, double maximum,
                    double increment, bool flag) {
    return panel().add_number(id, label, initial, minimum, maximum, increment, flag);
}
void place(uint32_t c, float row, float column, float width, float height) {
    panel().place(c, row, column, width, height);
}
void enable(uint32_t c, bool on) { panel().enable(c, on); }
void disable(uint32_t c) { panel().disable(c); }
void set_selectable(uint32_t c, bool on) { panel().set_selectable(c, on); }
void set_fixed(uint32_t c) { panel().set_fixed(c); }
bool get_bool(uint32_t c) { return panel().get_bool(c); }
void set_bool(uint32_t c, bool value) { panel().set_bool(c, value); }
int32_t get_int(uint32_t c) { return panel().get_int(c); }
void set_int(uint32_t c, int32_t value) { panel().set_int(c, value); }
void set_choices(uint32_t c, const char* choices) { panel().set_choices(c, choices); }

}  // namespace

const FunctionTable& ctrl_suite_table() {
    static const FunctionTable table = [] {
        FunctionTable t = trap_table(SUITE_CTRL);
        t[1] = entry_pointer(&add_label);
        t[9] = entry_pointer(&add_choice);
        t[10] = entry_pointer(&add_toggle);
        t[11] = entry_pointer(&add_number);
        t[20] = entry_pointer(&place);
        t[22] = entry_pointer(&enable);
        t[23] = entry_pointer(&disable);
        t[24] = entry_pointer(&set_selectable);
        t[25] = entry_pointer(&set_fixed);
        t[33] = entry_pointer(&get_bool);
        t[34] = entry_pointer(&set_bool);
        t[35] = entry_pointer(&get_int);
        t[36] = entry_pointer(&set_int);
        t[81] = entry_pointer(&set_choices);
        return t;
    }();
    return table;
}

}  // namespace qelhost
