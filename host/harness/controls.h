// The host's side of the control panel: the controls the module created,
// their values and states, kept the way the host stores them with a project.
#pragma once

#include "faults.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qelhost {

enum class ControlKind { Label, Choice, Toggle, Number };
const char* kind_name(ControlKind kind);

struct Placement {
    bool placed = false;
    float row = 0;
    float column = 0;
    float width = 0;
    float height = 0;
};

struct Control {
    uint32_t handle = 0;  // what the host returned to the module
    ControlKind kind = ControlKind::Label;
    std::string identifier;  // the key the value is stored under; empty for labels
    std::string label;
    std::vector<std::string> choices;  // items of the last choices text
    std::string choices_text;
    double value = 0;  // choice index, toggle 0/1 or number
    double minimum = 0;
    double maximum = 0;
    double increment = 0;
    bool flag = false;  // the creating call's last flag (toggles and numbers)
    bool enabled = true;
    bool fixed = false;       // set_fixed; set_selectable(on) clears it
    bool selectable = false;  // set_selectable(on) was the last word
    Placement placement;

    int32_t int_value() const { return static_cast<int32_t>(value); }
    // The chosen item of a choice, empty when the index is outside the list.
    std::string chosen() const;
    // The label as the host shows it: a choice's "%s" becomes the chosen item.
    std::string shown_label() const;
    // The value as text: the chosen item, on/off, or the number.
    std::string value_text() const;
};

// Items of a choices text: separated by ',', an empty text has none.
std::vector<std::string> split_choices(std::string_view text);

class ControlSet {
public:
    explicit ControlSet(FaultLog& faults) : m_faults(faults) {}

    // Entries of the "Ctrl" suite.
    uint32_t add_label(const char* text);
    uint32_t add_choice(const char* id, const char* label, const char* choices, int32_t initial_index);
    uint32_t add_toggle(const char* id, const char* label, bool initial, bool flag);
    uint32_t add_number(const char* id, const char* label, double initial, double minimum, double maximum,
                        double increment, bool flag);
    void place(uint32_t control, float row, float column, float width, float height);
    void enable(uint32_t control, bool on);
    void disable(uint32_t control);
    void set_selectable(uint32_t control, bool on);
    void set_fixed(uint32_t control);
    bool get_bool(uint32_t control);
    void set_bool(uint32_t control, bool value);
    int32_t get_int(uint32_t control);
    void set_int(uint32_t control, int32_t value);
    void set_choices(uint32_t control, const char* choices);

    // What a test or the user does.
    const std::vector<Control>& all() const { return m_controls; }
    Control* find(uint32_t handle);
    Control* find(std::string_view identifier);
    const Control* find(std::string_view identifier) const;
    // Sets a value as the user (or a restored project) would; false when
    // the identifier is unknown. A choice accepts an item's text or its index.
    bool set_value(std::string_view identifier, double value);
    bool choose(std::string_view identifier, std::string_view item);

    // One line per suite call, e.g. "set_int(klavformat, 0)", for tests
    // that check what the module asked of the panel.
    const std::vector<std::string>& calls() const { return m_calls; }
    void clear_calls() { m_calls.clear(); }
    // The panel goes with the instance that created it.
    void clear() {
        m_controls.clear();
        m_calls.clear();
    }

private:
    uint32_t create(ControlKind kind, const char* id, const char* label);
    Control* existing(uint32_t control, const char* entry);
    void record(const char* entry, const Control* control, const std::string& detail);

    FaultLog& m_faults;
    std::vector<Control> m_controls;
    std::vector<std::string> m_calls;
};

}  // namespace qelhost
