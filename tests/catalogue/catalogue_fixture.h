// A plug-in state on a stand-in control suite: control values are whatever
// the test (or the panel) last set, and the writer's messages are kept.
#pragma once

#include "catalogue/catalogue.h"
#include "common/writer_log.h"
#include "panel/Controls.h"
#include "plugin/state.h"
#include "writer/FFWriter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class CatalogueTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Puts a control on an index, as the host does when the user picks.
    void set_control(uint32_t Controls::*control, int32_t value);
    int32_t control(uint32_t Controls::*control) const;

    PluginState state;
};

std::vector<std::string> names_of(const EncoderList& list);
std::vector<std::string> labels_of(const ChoiceList& list);
