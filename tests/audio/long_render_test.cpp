// A ten-minute render: 1601/1602-sample slices must not drift against the
// pictures. Kept cheap (16x16 pictures, mono aac) so it runs with the rest.
#include "audio_helpers.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(AudioLongRender, TenMinutesAt2997StayInStepWithThePictures) {
    RenderJob job;
    job.container = "mp4";
    job.extension = "mp4";
    job.audioCodec = "aac";
    job.outFormat = AV_SAMPLE_FMT_FLTP;
    job.videoCodec = "mpeg4";
    job.width = 16;
    job.height = 16;
    job.host.channels = 1;
    job.frames = 17982;  // 10 minutes at 30000/1001
    g_logged.clear();
    const RenderResult result = render(job, outputPath("long_render", "mp4"));
    ASSERT_TRUE(result.opened);
    EXPECT_TRUE(result.allWritten);
    EXPECT_EQ(result.samplesSent, sliceStart(job.frames, 48000, job.fps));
    EXPECT_FALSE(loggedContaining("timestamp", LOG_WARNING));

    const int64_t lastSecond = result.samplesSent - 48000;
    const DecodedFile file = decodeFile(result.path, lastSecond);
    ASSERT_TRUE(file.ok) << file.error;
    // The container ends the audio at the last sample sent (to its millisecond);
    // the decoder gives aac's short last frame whole.
    EXPECT_NEAR(double(file.audioEndSamples), double(result.samplesSent), 48.0);
    EXPECT_GE(file.decodedSamples(), result.samplesSent);
    EXPECT_LE(file.decodedSamples(), result.samplesSent + 1024);
    EXPECT_EQ(file.videoFrames, job.frames);
    EXPECT_LT(std::abs(file.audioSeconds() - file.videoEnd), 1.0 / job.fps)
        << "audio " << file.audioSeconds() << " s, video " << file.videoEnd << " s";
    // The last second matches the host's signal sample for sample (lag 0).
    ASSERT_EQ(file.firstKept, lastSecond);
    std::vector<double> expected(file.samples[0].size());
    for (size_t n = 0; n < expected.size(); ++n) expected[n] = job.host.value(0, lastSecond + int64_t(n));
    double dot = 0, energy = 0, expectedEnergy = 0;
    for (size_t n = 0; n < expected.size(); ++n) {
        dot += file.samples[0][n] * expected[n];
        energy += file.samples[0][n] * file.samples[0][n];
        expectedEnergy += expected[n] * expected[n];
    }
    EXPECT_GT(dot / std::sqrt(energy * expectedEnergy), 0.98);
}
