// The presenter: the lists that hang on the chosen container and encoders.
#include "presenter_fixture.h"

#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"

TEST_F(PresenterTest, UnknownContainerLeavesNoEntryRowsAndReportsTwice) {
    lists.video_profiles.push_back({"stale", 0, false});
    lists.pixel_formats.push_back({"stale", 0, false});
    lists.sample_formats.push_back({"stale", 0, false});
    select_container(panel, "nosuch", true);
    EXPECT_EQ(names_of(lists.video_encoders), std::vector<std::string>{NO_VIDEO_TEXT});
    EXPECT_EQ(names_of(lists.audio_encoders), std::vector<std::string>{NO_AUDIO_TEXT});
    EXPECT_TRUE(lists.video_profiles.empty());
    EXPECT_TRUE(lists.audio_profiles.empty());
    EXPECT_TRUE(lists.pixel_formats.empty());
    EXPECT_TRUE(lists.sample_formats.empty());
    ASSERT_EQ(kept_messages().size(), 2u);
    for (const LoggedMessage& message : kept_messages()) {
        EXPECT_EQ(message.level, 4);
        EXPECT_EQ(message.text, "QelFFmpegWriter: can't find container/format with name: nosuch");
    }
}

TEST_F(PresenterTest, ContainerChoiceRebuildsTheListsOfTheChosenEncoders) {
    set_control(&Controls::m_videoEncoder, 1);
    set_control(&Controls::m_audioEncoder, 1);
    select_container(panel, "mp4", false);
    EXPECT_EQ(labels_of(lists.video_profiles),
              (std::vector<std::string>{"Baseline", "Main", "High", "High10", "High422", "High444"}));
    EXPECT_EQ(labels_of(lists.audio_profiles), std::vector<std::string>{"AAC-Low"});
    ChoiceList libx264_formats;
    list_pixel_formats("libx264", libx264_formats);
    EXPECT_EQ(labels_of(lists.pixel_formats), labels_of(libx264_formats));
    EXPECT_EQ(labels_of(lists.sample_formats), std::vector<std::string>{"fltp"});
    // Without reset the controls keep the indices the host holds.
    EXPECT_EQ(control(&Controls::m_videoEncoder), 1);
    EXPECT_EQ(control(&Controls::m_audioEncoder), 1);
}

TEST_F(PresenterTest, EncoderIndexBeyondTheListEmptiesItsLists) {
    set_control(&Controls::m_videoEncoder, 1);
    select_container(panel, "mp4", false);
    ASSERT_EQ(lists.video_profiles.size(), 6u);
    set_control(&Controls::m_videoEncoder, static_cast<int32_t>(lists.video_encoders.size()));
    select_video_encoder(panel, false);
    EXPECT_TRUE(lists.video_profiles.empty());
    refresh_pixel_formats(panel, false);
    EXPECT_TRUE(lists.pixel_formats.empty());

    // The no-entry row is a name FFmpeg does not know: empty lists.
    set_control(&Controls::m_videoEncoder, 0);
    select_video_encoder(panel, false);
    EXPECT_TRUE(lists.video_profiles.empty());
    set_control(&Controls::m_audioEncoder, 0);
    select_audio_encoder(panel, false);
    EXPECT_TRUE(lists.audio_profiles.empty());
}
