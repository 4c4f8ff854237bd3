// The presenter on a stand-in control suite whose values are kept in memory:
// the lists that hang on the chosen container and encoders.
#include "common/control_values.h"
#include "common/writer_log.h"
#include "panel/presenter.h"

#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> labels_of(const ChoiceList& list) {
    std::vector<std::string> labels;
    for (const ChoiceEntry& entry : list) labels.emplace_back(entry.label);
    return labels;
}

ChoiceList listed(void (*list)(const char*, ChoiceList&), const char* encoder) {
    ChoiceList choices;
    list(encoder, choices);
    return choices;
}

class PresenterTest : public ::testing::Test {
protected:
    void SetUp() override {
        clear_messages();
        control_values::install(controls);
    }
    // As the host does when the user picks.
    void set_control(uint32_t Controls::*control, int32_t value) { control_values::values[controls.*control] = value; }
    int32_t control(uint32_t Controls::*control) const { return control_values::values[controls.*control]; }

    Controls controls{nullptr, nullptr};
    PanelLists lists;
    Panel panel{controls, lists, keep_message};
};

}  // namespace

TEST_F(PresenterTest, UnknownContainerLeavesNoEntryRowsAndReportsTwice) {
    lists.video_profiles.push_back({"stale", 0, false});
    lists.pixel_formats.push_back({"stale", 0, false});
    lists.sample_formats.push_back({"stale", 0, false});
    select_container(panel, "nosuch", true);
    ASSERT_EQ(lists.video_encoders.size() + lists.audio_encoders.size(), 2u);
    EXPECT_STREQ(lists.video_encoders[0].name, NO_VIDEO_TEXT);
    EXPECT_STREQ(lists.audio_encoders[0].name, NO_AUDIO_TEXT);
    EXPECT_TRUE(lists.video_profiles.empty() && lists.audio_profiles.empty() && lists.pixel_formats.empty() &&
                lists.sample_formats.empty());
    ASSERT_EQ(kept_messages().size(), 2u);
    for (const LoggedMessage& message : kept_messages())
        EXPECT_TRUE(message.level == 4 && message.text == "QelFFmpegWriter: can't find container/format with name: nosuch");
}

TEST_F(PresenterTest, ContainerChoiceRebuildsTheListsOfTheChosenEncoders) {
    set_control(&Controls::m_videoEncoder, 1);
    set_control(&Controls::m_audioEncoder, 1);
    select_container(panel, "mp4", false);
    EXPECT_EQ(labels_of(lists.video_profiles), labels_of(listed(list_profiles, "libx264")));
    EXPECT_EQ(labels_of(lists.audio_profiles), std::vector<std::string>{"AAC-Low"});
    EXPECT_EQ(labels_of(lists.pixel_formats), labels_of(listed(list_pixel_formats, "libx264")));
    EXPECT_EQ(labels_of(lists.sample_formats), std::vector<std::string>{"fltp"});
    // Without reset the controls keep the indices the host holds.
    EXPECT_EQ(control(&Controls::m_videoEncoder), 1);
    EXPECT_EQ(control(&Controls::m_audioEncoder), 1);

    // An index past the list, or the no-entry row (a name FFmpeg does not know): empty lists.
    set_control(&Controls::m_videoEncoder, static_cast<int32_t>(lists.video_encoders.size()));
    select_video_encoder(panel, false);
    EXPECT_TRUE(lists.video_profiles.empty());
    refresh_pixel_formats(panel, false);
    EXPECT_TRUE(lists.pixel_formats.empty());
    set_control(&Controls::m_videoEncoder, 1);
    select_video_encoder(panel, false);
    ASSERT_EQ(lists.video_profiles.size(), 6u);
    set_control(&Controls::m_videoEncoder, 0);
    select_video_encoder(panel, false);
    EXPECT_TRUE(lists.video_profiles.empty());
    set_control(&Controls::m_audioEncoder, 0);
    select_audio_encoder(panel, false);
    EXPECT_TRUE(lists.audio_profiles.empty());
}
