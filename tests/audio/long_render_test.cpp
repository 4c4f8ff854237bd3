// A ten-minute render: 1601/1602-sample slices must not drift against the
// pictures. Kept cheap (16x16 pictures, mono aac) so it runs with the rest.
#include "audio_kit.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(AudioLongRender, TenMinutesAt2997StayInStepWithThePictures) {
    RenderJob job = job_for("mp4", "aac", AV_SAMPLE_FMT_FLTP);
    job.width = 16;
    job.height = 16;
    job.host.channels = 1;
    job.frames = 17982;  // 10 minutes at 30000/1001
    clear_messages();
    const RenderResult result = render(job, outputPath("long_render", job.container));
    ASSERT_TRUE(result.opened);
    EXPECT_TRUE(result.allWritten);
    EXPECT_FALSE(count_logged("timestamp", LOG_WARNING));

    const int64_t lastSecond = result.samplesSent - 48000;
    probe::Options lastSecondOnly;  // ten minutes of samples need not be kept
    lastSecondOnly.keep_from = lastSecond;
    const probe::File file = probe::read(result.path, lastSecondOnly);
    ASSERT_TRUE(file.opened) << file.error_text();
    // The container ends the audio at the last sample sent (to its millisecond);
    // the decoder gives aac's short last frame whole.
    EXPECT_NEAR(double(file.audio_end_samples), double(result.samplesSent), 48.0);
    EXPECT_GE(file.audio_samples, result.samplesSent);
    EXPECT_LE(file.audio_samples, result.samplesSent + 1024);
    EXPECT_EQ(file.video_frames, job.frames);
    EXPECT_LT(std::abs(file.audio_seconds() - file.video_seconds), 1.0 / job.fps)
        << "audio " << file.audio_seconds() << " s, video " << file.video_seconds << " s";
    // The last second matches the host's signal sample for sample (lag 0).
    EXPECT_GT(hostCorrelation(file.samples[0], job.host, 0, lastSecond), 0.98);
}
