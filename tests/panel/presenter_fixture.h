// The presenter on a stand-in control suite whose values are kept in memory;
// its messages are kept.
#pragma once

#include "common/control_values.h"
#include "common/writer_log.h"
#include "panel/presenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class PresenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_messages();
        control_values::install(controls);
    }

    // Puts a control on an index, as the host does when the user picks.
    void set_control(uint32_t Controls::*control, int32_t value) { control_values::values[controls.*control] = value; }
    int32_t control(uint32_t Controls::*control) const { return control_values::values[controls.*control]; }

    Controls controls{nullptr, nullptr};
    PanelLists lists;
    Panel panel{controls, lists, keep_message};
};

inline std::vector<std::string> names_of(const EncoderList& list) {
    std::vector<std::string> names;
    for (const EncoderEntry& entry : list) names.emplace_back(entry.name);
    return names;
}

inline std::vector<std::string> labels_of(const ChoiceList& list) {
    std::vector<std::string> labels;
    for (const ChoiceEntry& entry : list) labels.emplace_back(entry.label);
    return labels;
}
