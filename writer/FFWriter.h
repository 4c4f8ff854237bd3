// The writer of one output at a time: owns every FFmpeg object of the output
// from open to close.
#pragma once

#include "writer/movie_file/crash_safe_movie.h"
#include "writer/movie_file/media_batches.h"
#include "writer/colour/output_colour.h"
#include "writer/movie_file/output_file.h"
#include "writer/picture/picture_converter.h"
#include "writer/loudness/quality_check.h"
#include "writer/picture/swscale_converter.h"
#include "writer/settings/writer_settings.h"

#include "base/ffmpeg_ptr.h"
#include "base/log.h"
#include "base/text.h"

#include <cstdint>
#include <memory>
#include <string>

constexpr int CODEC_NAME_SIZE = 256;
constexpr int AUDIO_PLANE_POINTERS = 8;
// Rows of converted pictures start on this boundary, as encoders' own frames do.
constexpr int PICTURE_ALIGN = 32;
// Each plane holds rows up to a multiple of 32, as frames of FFmpeg's own
// allocation do: encoders read whole macroblocks (prores_aw's fields of a
// 240-row picture, 120 rows each, run 8 rows past their plane's end).
constexpr int padded_height(int height) { return (height + 31) / 32 * 32; }
// What the writer calls itself in the files' "encoder" tags.
constexpr const char* WRITER_ENCODER_TAG = "Velmora Korvex";

class FFWriter {
public:
    // Every line of the writer goes to `log`, from construction to the end.
    explicit FFWriter(LogSink log = default_log_sink);
    virtual ~FFWriter();
    FFWriter(const FFWriter&) = delete;
    FFWriter& operator=(const FFWriter&) = delete;

    bool open(const char* fileName, const WriterSettings& settings);
    bool writeVideoFrame(const void* pixels, const MetadataPair* metadataPairs, int32_t metadataCount,
                         bool forceKeyFrame, const char* timecode);
    // The last picture once more (black before the first): a frame the host
    // could not give keeps its place in time.
    bool repeatLastFrame();
    // `size` in bytes of interleaved host samples; null data drains the encoder.
    bool writeAudio(const void* data, int64_t size);
    bool close();
    // The join's pictures, coded already: a packet of a segment, its
    // timestamps in `timeBase`, counted from `frameOffset` frames on.
    bool writeVideoPacket(AVPacket* packet, AVRational timeBase, int64_t frameOffset);
    // Ends the output without naming it: a join that failed leaves the
    // earlier take and its segments as they were.
    void discard();

    void log(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    LogSink logSink() const { return m_log; }

    bool isOpen() const { return m_isOpen; }
    bool hasVideo() const { return m_hasVideo; }
    bool hasAudio() const { return m_hasAudio; }
    // Written under its unfinished name, then given the final one.
    bool usesTempFile() const { return m_useTempFile; }
    bool fastStart() const { return m_fastStart; }
    const char* fileName() const { return m_fileName; }
    const char* tempFileName() const { return m_tempFileName.c_str(); }
    int64_t videoFrameCount() const { return m_videoFrameCount; }
    int64_t audioSampleCount() const { return m_audioSampleCount; }
    const AVCodecContext* videoCodecContext() const { return m_videoCodecContext.get(); }
    const AVCodecContext* audioCodecContext() const { return m_audioCodecContext.get(); }
    int32_t outSampleRate() const { return m_outSampleRate; }
    const AVFormatContext* formatContext() const { return m_formatContext.get(); }
    const AVStream* videoStream() const { return m_videoStream; }
    // The first error the output's file met (an AVERROR), or 0.
    int fileError() const { return m_outputFile.error(); }

private:
    // Steps of open, in the order they run.
    bool openOutput(const char* fileName, const WriterSettings& settings);
    bool openSegment(const char* outputPath, const WriterSettings& settings);
    bool openContainer(const WriterSettings& settings);
    void addMetadata(AVDictionary** dictionary, const WriterSettings& settings);
    bool openAudio(const WriterSettings& settings);
    bool openVideo(const WriterSettings& settings);
    bool openFile();
    bool openConverter();
    bool writeHeader(const char* timecode);
    void tellHdr();

    bool convertPicture(const void* pixels);
    int convertDirectly(const uint8_t* pixels);

    // Shared packet path: sends `frame` (null drains), then rescales, clips
    // against `lastDts` and writes every packet the encoder gives. The audio
    // clock (m_audioSampleCount) is the audio path's: it counts samples sent.
    bool encodeAndWrite(AVCodecContext* context, AVStream* stream, const AVFrame* frame, int64_t& lastDts,
                        bool isVideo);
    // One packet, its timestamps in `timeBase`, onto its way to the muxer.
    bool writePacket(AVPacket* packet, AVRational timeBase, AVStream* stream, int64_t& lastDts, bool isVideo);
    bool queuePacket(AVPacket* packet);
    bool syncOnCadence();
    // A segment's sound: the host's samples, kept as they came.
    bool openSoundAsIs();
    bool writeSoundAsIs(const void* data, int64_t size);
    bool writeSegmentManifest();
    bool writeBatch(MediaBatch& batch);
    bool drainAudio();
    // Steps of close.
    int finishFile();
    bool nameFinishedFile(bool finished);
    bool nameFinishedSegment(bool finished);
    bool nameJoinedFile(bool finished);
    bool leaveNoEmptyFile();
    void keepLoudnessInMovie();
    void reportQuality();

    // Audio helpers (writer/audio_open.cpp, writer/audio.cpp).
    int32_t chooseSampleRate(const AVCodec* codec, int32_t requested);
    static void chooseChannelLayout(const AVCodec* codec, int32_t channels, AVChannelLayout& layout);
    bool resampleIntoFifo(const uint8_t** input, int inSamples);
    bool growAudioBuffers(int samples);
    bool writeAudioBuffersToFifo(int samples);
    bool padAudioTail();
    bool encodeAudioFifo(bool last);
    bool sendAudioFrame(int samples, int frameSamples);
    AVFrame* audioFrameFor(int frameSamples);
    void resetAudio();
    void release();

    const LogSink m_log;
    char m_fileName[PATH_SIZE];
    // A segment: the output it is a piece of, and what its manifest says of
    // the settings it was written with.
    bool m_segment = false;
    std::string m_segmentOutput;
    std::string m_segmentSettings;
    int64_t m_segmentFirstFrame = 0;
    std::string m_segmentTimecode;
    std::vector<std::pair<std::string, std::string>> m_segmentMetadata;
    bool m_soundAsIs = false;
    bool m_copyVideo = false;
    // The unfinished name the movie is written under; empty for a device or FIFO.
    std::string m_tempFileName;
    OutputFile m_outputFile;
    FormatContextPtr m_formatContext;
    // The packets on their way to the muxer, half a second at a time, and for
    // mov and mp4 on disk the index fragments that keep the file readable.
    std::unique_ptr<MediaBatches> m_batches;
    // The batch being written and its packets in the muxer's order, their
    // room kept from batch to batch.
    MediaBatch m_batch;
    std::vector<AVPacket*> m_batchOrder;
    std::unique_ptr<CrashSafeMovie> m_crashSafe;
    // The output's loudness, peaks and bit rate, told and reported at its end;
    // none for a segment, whose sound the join codes and measures.
    std::unique_ptr<QualityCheck> m_quality;
    bool m_quickTime = false;
    const AVCodec* m_videoCodec = nullptr;
    const AVCodec* m_audioCodec = nullptr;
    const AVOutputFormat* m_outputFormat = nullptr;
    AVStream* m_videoStream = nullptr;
    AVStream* m_audioStream = nullptr;
    CodecContextPtr m_videoCodecContext;
    CodecContextPtr m_audioCodecContext;
    // The picture conversion: one pass for the formats it makes, libswscale
    // for the rest (only one of the two is open).
    PictureConverter m_pictureConverter;
    SwsContextPtr m_swsContext;
    SwrContextPtr m_swrContext;
    Dictionary m_videoOptions;
    Dictionary m_audioOptions;
    FramePtr m_inFrame;
    FramePtr m_outFrame;
    // The last picture sent, for repeatLastFrame.
    FramePtr m_lastPicture;
    // Per output, reused for every frame: the packets the encoders give, and
    // the frame of sound sent (its buffer anew only while an encoder holds it).
    PacketPtr m_packet;
    FramePtr m_audioFrame;
    int32_t m_inPixelFormat = -1;
    int32_t m_outPixelFormat = -1;
    int32_t m_inSampleFormat = -1;
    int32_t m_outSampleFormat = -1;
    int32_t m_inSampleRate = 0;
    int32_t m_outSampleRate = 0;
    AVChannelLayout m_inChannelLayout{};
    AVChannelLayout m_outChannelLayout{};
    char m_videoCodecName[CODEC_NAME_SIZE];
    char m_audioCodecName[CODEC_NAME_SIZE];
    // Pixel memory of m_outFrame: a new picture from the pool for every frame,
    // so the encoder takes a reference to it instead of copying it.
    BufferPoolPtr m_pictureBuffer;
    bool m_hasAudio = false;
    bool m_hasVideo = false;
    int32_t m_audioBufferSamples = 0;
    AudioPlanesPtr m_audioBuffers;
    AudioFifoPtr m_audioFifo;
    int32_t m_fieldOrder = AV_FIELD_PROGRESSIVE;
    OutputColour m_colour;  // decided once per output, at its open
    int32_t m_width = 0;
    int32_t m_height = 0;
    double m_frameRate = 1.0;
    bool m_isOpen = false;
    bool m_useTempFile = false;
    bool m_fastStart = false;
    bool m_noMetadata = false;
    int64_t m_videoFrameCount = 0;
    int64_t m_audioSampleCount = 0;
    // Last dts handed to the muxer per stream, in the stream's time base.
    bool m_mediaWritten = false;  // a packet has gone to the muxer
    // Where the file was last made durable: a power cut during the render
    // loses at most SYNC_SECONDS of media or SYNC_BYTES of file after it.
    double m_syncedSeconds = 0;
    int64_t m_syncedBytes = 0;
    int64_t m_videoLastDts = AV_NOPTS_VALUE;
    int64_t m_audioLastDts = AV_NOPTS_VALUE;
};
