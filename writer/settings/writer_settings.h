// Everything one output needs, filled by the frame requests for each output.
#pragma once

#include <cstdint>

struct MetadataPair {
    const char* key;
    const char* value;
};

// The display a PQ programme was graded on and its light levels, as the
// panel gives them: primaries 0 Display P3, 1 Rec.2020; luminances in cd/m²
// but the minimum, in 0.0001 cd/m²; light levels 0 for unknown.
struct MasteringChoice {
    int32_t primaries = 0;
    int32_t maxLuminance = 1000;
    int32_t minLuminance = 50;
    int32_t maxContentLight = 1000;
    int32_t maxFrameAverageLight = 400;
};

struct WriterSettings {
    const MetadataPair* metadataPairs = nullptr;
    int32_t metadataCount = 0;
    int32_t width = 0;
    int32_t height = 0;
    double frameRate = 0;
    int32_t inSampleRate = 0;  // the host's rate; the encoder's is chosen at open (FFWriter::outSampleRate)
    int32_t channels = 0;
    int32_t audioBitRate = 0;
    bool stereo = false;
    int32_t inSampleFormat = -1;
    int32_t outSampleFormat = -1;
    int32_t videoBitRate = 0;
    int32_t vbr = 0;
    int32_t quality = 0;
    int32_t keyFrameInterval = 0;
    bool fastStart = false;
    // The host's switch against metadata in files, as it stood when the output opened.
    bool noMetadata = false;
    const char* timecode = nullptr;
    const char* containerName = nullptr;
    const char* videoCodecName = nullptr;
    const char* audioCodecName = nullptr;
    const char* videoProfile = nullptr;
    const char* audioProfile = nullptr;
    int32_t inPixelFormat = -1;
    int32_t outPixelFormat = -1;
    int32_t fieldOrder = 1;
    // The space the host's pixels are in and the file says (ColourChoice,
    // output_colour.h); Rec.709 unless told.
    int32_t colour = 0;
    MasteringChoice mastering;  // written for PQ only
    // One piece of a farm render: written beside the output as a segment
    // that the join makes into the movie (writer/segment_files.h), starting
    // at this frame of the timeline.
    bool segment = false;
    int64_t segmentFirstFrame = 0;
    // The delivery the sound's loudness is judged by (LoudnessTarget,
    // catalogue/loudness_targets.h); it is measured and reported whatever it is.
    int32_t loudnessTarget = 0;
    // The join: the pictures arrive coded (FFWriter::writeVideoPacket); the
    // video encoder is opened only to set up the stream as a render would.
    bool copyVideo = false;
    // The segments' own description of their pictures (avcC and the like),
    // which the muxer then takes as their packets are.
    const uint8_t* videoExtradata = nullptr;
    int32_t videoExtradataSize = 0;
};
