// Control values the host may hold and the writer settings they turn into.
#include "common/control_values.h"
#include "panel/choice_lists.h"

#include <gtest/gtest.h>

#include <climits>

// Values a stored project or a host may hold past the panel's ranges: each
// lands on a setting the writer can use, never an index past a table.
TEST(SettingsRules, ValuesPastTheRangesLandOnUsableSettings) {
    for (int value : {6, -1, INT_MIN}) EXPECT_EQ(quality_setting(value), 5) << value;
    EXPECT_EQ(quality_setting(4), 4);
    EXPECT_EQ(audio_bit_rate_setting(5), 0) << "\"Maximum\" leaves it to the encoder";
    for (int value : {6, -1}) EXPECT_EQ(audio_bit_rate_setting(value), 192000) << value;
    // kB/s times 8000 stays within 32 bits.
    for (const auto& [kbs, bits] : {std::pair{268435, 2147480000}, {268436, INT_MAX}, {INT_MAX, INT_MAX}, {-5, 0}})
        EXPECT_EQ(video_bit_rate_setting(kbs), bits) << kbs;
    EXPECT_EQ(vbr_setting(-3), 1);
}

TEST(ChoiceText, CommasInsideLabelsDoNotSplitItems) {
    const char* labels[] = {"MPEG-4 part 2", "QuickTime / MOV, with more", ""};
    EXPECT_EQ(join_choices(labels, 3), "MPEG-4 part 2,QuickTime / MOV. with more,");
    const std::string longLabel(300, 'x');
    const char* one[] = {longLabel.c_str()};
    EXPECT_EQ(join_choices(one, 1).size(), 255u);
    EXPECT_EQ(join_choices(nullptr, 0), "");
}

TEST(ChannelSelection, TogglesPickChannelsAndNeverPastSixteen) {
    Controls controls(nullptr, nullptr);
    control_values::install(controls);
    auto toggle = [&](int channel, bool on) { control_values::set_bool(controls.m_audioChannels[channel], on); };

    toggle(0, true);
    toggle(2, true);
    ChannelSelection selection = select_channels(controls, 4);
    EXPECT_TRUE(selection.mask == 0b101u && selection.count == 2) << selection.mask;

    // The host has fewer channels than toggles that are on.
    EXPECT_EQ(select_channels(controls, 1).mask, 0b1u);

    for (int i = 0; i < MAX_AUDIO_CHANNEL_TOGGLES; ++i) toggle(i, true);
    selection = select_channels(controls, 20);
    EXPECT_TRUE(selection.count == 16 && selection.mask == 0xFFFFu) << selection.mask;

    // A toggle the panel never created (id 0) counts as off.
    controls.m_audioChannels[1] = 0;
    control_values::set_bool(0, true);
    EXPECT_EQ(select_channels(controls, 2).count, 1);
}
