// Control values the host may hold, the writer settings they turn into, and
// the presenter's lists where a stored container is unknown.
#include "common/control_values.h"
#include "common/writer_log.h"
#include "panel/settings_rules.h"
#include "panel/presenter.h"

#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

// Values a stored project or a host may hold past the panel's ranges: each
// lands on a setting the writer can use, never an index past a table.
TEST(SettingsRules, ValuesPastTheRangesLandOnUsableSettings) {
    for (int value : {6, -1, INT_MIN}) EXPECT_EQ(quality_setting(value), 5) << value;
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
    auto on = [&](int channel) { control_values::set_bool(controls.m_audioChannels[channel], true); };
    on(0);
    on(2);
    const ChannelSelection selection = select_channels(controls, 4);
    EXPECT_TRUE(selection.mask == 0b101u && selection.count == 2) << selection.mask;
    EXPECT_EQ(select_channels(controls, 1).mask, 0b1u) << "the host has fewer channels than toggles that are on";
    for (int i = 0; i < MAX_AUDIO_CHANNEL_TOGGLES; ++i) on(i);
    EXPECT_EQ(select_channels(controls, 20).mask, 0xFFFFu);
    EXPECT_EQ(select_channels(controls, 20).count, 16);
    // A toggle the panel never created (id 0) counts as off.
    controls.m_audioChannels[1] = 0;
    control_values::set_bool(0, true);
    EXPECT_EQ(select_channels(controls, 2).count, 1);
}

TEST(Presenter, UnknownContainerLeavesNoEntryRowsAndReportsTwice) {
    clear_messages();
    Controls controls(nullptr, nullptr);
    control_values::install(controls);
    PanelLists lists;
    Panel panel{controls, lists, keep_message};
    lists.video_profiles = lists.pixel_formats = lists.sample_formats = {{"stale", 0, false}};
    select_container(panel, "nosuch", true);
    ASSERT_EQ(lists.video_encoders.size() + lists.audio_encoders.size(), 2u);
    EXPECT_TRUE(!std::strcmp(lists.video_encoders[0].name, NO_VIDEO_TEXT) &&
                !std::strcmp(lists.audio_encoders[0].name, NO_AUDIO_TEXT));
    EXPECT_TRUE(lists.video_profiles.empty() && lists.audio_profiles.empty() && lists.pixel_formats.empty() &&
                lists.sample_formats.empty());
    ASSERT_EQ(kept_messages().size(), 2u);
    for (const LoggedMessage& m : kept_messages())
        EXPECT_TRUE(m.level == 4 && m.text == "QelFFmpegWriter: can't find container/format with name: nosuch");
}
