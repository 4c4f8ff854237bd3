// Opening an output: picture checks, container, metadata, streams and
// encoders (video_open.cpp, audio_open.cpp), the file, the picture converter
// (converter_open.cpp) and the header, in that order.
#include "writer/FFWriter.h"
#include "writer/settings/frame_rate.h"
#include "writer/movie_file/output_path.h"
#include "writer/movie_file/segment_files.h"

#include "VelmoraCore.h"
#include "catalogue/catalogue.h"
#include "catalogue/profiles.h"
#include "base/compat.h"
#include "base/error_text.h"
#include "base/log.h"
#include "base/text.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr int MAX_PICTURE_SIZE = 8192;

const char* last_separator(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* backslash = std::strrchr(path, '\\');
    return slash > backslash ? slash : backslash;
}

// What MXF takes, said when its muxer refuses a header: its own words name
// one fault at a time.
const char* mxf_needs(const char* muxer) {
    if (std::strcmp(muxer, "mxf_opatom") == 0)
        return "MXF OP-Atom takes one stream only (no sound beside the pictures), DNxHD/DNxHR, MPEG-2, H.264 or "
               "ProRes pictures at a broadcast frame rate (23.976, 24, 25, 29.97, 30, 50, 59.94, 60 fps and the like)";
    if (std::strcmp(muxer, "mxf") == 0 || std::strcmp(muxer, "mxf_d10") == 0)
        return "MXF takes MPEG-2, DNxHD/DNxHR, ProRes, H.264, DV or JPEG 2000 pictures at a broadcast frame rate "
               "(23.976, 24, 25, 29.97, 30, 50, 59.94, 60 fps and the like), with 48 kHz PCM sound";
    return nullptr;
}

}  // namespace

bool FFWriter::open(const char* fileName, const WriterSettings& settings) {
    if (!fileName) return false;
    // Never abandon an output: an open one is finished, what a failed open
    // left behind is released before anything replaces it.
    if (m_isOpen) close();
    release();
    if (!openOutput(fileName, settings)) {
        // A refused output leaves nothing behind, and an earlier take stays.
        release();
        m_outputFile.discard();
        m_tempFileName.clear();
        return false;
    }
    m_isOpen = true;
    return true;
}

bool FFWriter::openOutput(const char* fileName, const WriterSettings& settings) {
    if (std::strlen(fileName) >= size_t(PATH_SIZE)) {
        log(LOG_ERROR, "QelFFmpegWriter: file path longer than %d characters: %s", PATH_SIZE - 1, fileName);
        return false;
    }
    copy_text(m_fileName, fileName);
    m_segment = false;
    if (settings.segment && !openSegment(fileName, settings)) return false;
    m_soundAsIs = m_segment;
    m_copyVideo = settings.copyVideo;
    m_hasVideo = settings.videoCodecName && settings.videoCodecName[0];
    m_hasAudio = settings.audioCodecName && settings.audioCodecName[0];

    m_videoCodec = nullptr;
    m_audioCodec = nullptr;
    m_videoStream = nullptr;
    m_audioStream = nullptr;
    m_outputFormat = nullptr;
    m_videoFrameCount = 0;
    m_audioSampleCount = 0;
    m_videoLastDts = AV_NOPTS_VALUE;
    m_audioLastDts = AV_NOPTS_VALUE;
    m_mediaWritten = false;
    m_syncedSeconds = 0;
    m_syncedBytes = 0;

    m_width = settings.width;
    m_height = settings.height;
    m_frameRate = settings.frameRate;
    m_inPixelFormat = settings.inPixelFormat;
    m_outPixelFormat = settings.outPixelFormat;
    m_inSampleFormat = settings.inSampleFormat;
    m_outSampleFormat = settings.outSampleFormat;
    m_inSampleRate = settings.inSampleRate;
    m_outSampleRate = 0;
    m_noMetadata = settings.noMetadata;

    // A link's movie goes to its target; only a regular file is ever
    // replaced by a rename, so a device or FIFO is written straight through.
    const OutputTarget target = resolve_output(m_fileName);
    if (target.kind == OutputKind::Directory) {
        log(LOG_ERROR, "QelFFmpegWriter: output path is a directory: %s", m_fileName);
        return false;
    }
    if (target.path.size() >= size_t(PATH_SIZE)) {
        log(LOG_ERROR, "QelFFmpegWriter: file path longer than %d characters: %s", PATH_SIZE - 1,
            target.path.c_str());
        return false;
    }
    copy_text(m_fileName, target.path.c_str());

    const bool quickTime = is_quicktime_container(settings.containerName);
    m_quickTime = quickTime;
    if (m_segment)
        m_quality.reset();
    else
        m_quality = std::make_unique<QualityCheck>(settings.loudnessTarget, settings.timecode ? settings.timecode : "",
                                                   usable_frame_rate(settings.frameRate));
    m_useTempFile = target.kind != OutputKind::Special;
    // A segment's index is rewritten by the join, not here.
    m_fastStart = settings.fastStart && quickTime && m_useTempFile && !m_segment;
    if (settings.fastStart && quickTime && !m_fastStart && !m_segment)
        log(LOG_WARNING,
            "QelFFmpegWriter: faststart needs a seekable file; <%s> is not a regular file, so the movie is written "
            "straight to it without faststart",
            m_fileName);
    m_tempFileName.clear();

    m_videoCodecName[0] = '\0';
    m_audioCodecName[0] = '\0';
    if (m_hasVideo) copy_text(m_videoCodecName, settings.videoCodecName);
    if (m_hasAudio) copy_text(m_audioCodecName, settings.audioCodecName);

    if (m_hasVideo) {
        if (m_width < 1 || m_width > MAX_PICTURE_SIZE || m_height < 1 || m_height > MAX_PICTURE_SIZE) {
            log(LOG_ERROR, "QelFFmpegWriter: invalid image dimensions");
            return false;
        }
        if (m_width % 2 != 0 || m_height % 2 != 0) {
            log(LOG_ERROR, "QelFFmpegWriter: width and height must be multiples of 2");
            return false;
        }
        if (!is_usable_frame_rate(m_frameRate)) {
            log(LOG_WARNING, "QelFFmpegWriter: invalid video framerate, forcing 24 fps");
            m_frameRate = FALLBACK_FRAME_RATE;
        }
    }

    if (!openContainer(settings)) return false;
    // Audio is the first stream, except for a muxer that takes video first only.
    const bool videoFirst = takes_pictures_first(m_outputFormat->name);
    if (videoFirst && m_hasVideo && !openVideo(settings)) return false;
    if (m_hasAudio && !openAudio(settings)) return false;
    if (!videoFirst && m_hasVideo && !openVideo(settings)) return false;
    if (!openFile()) return false;
    if (m_hasVideo && !m_copyVideo && !openConverter()) return false;
    if (m_hasVideo) av_dict_set(&m_videoStream->metadata, "timecode", settings.timecode, 0);
    return writeHeader(settings.timecode);
}

// A piece of a farm render goes into the folder beside the output, under
// the name of its first frame; what it was set up with goes to its manifest.
bool FFWriter::openSegment(const char* outputPath, const WriterSettings& settings) {
    if (!joins_segments(settings.containerName)) {
        log(LOG_ERROR,
            "QelFFmpegWriter: %s movies cannot be rendered in segments: the join makes mov, mp4, Matroska and MXF "
            "movies only",
            settings.containerName ? settings.containerName : "these");
        return false;
    }
    if (settings.segmentFirstFrame < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: a segment cannot start at frame %lld", (long long)settings.segmentFirstFrame);
        return false;
    }
    m_segment = true;
    m_segmentOutput = outputPath;
    m_segmentFirstFrame = settings.segmentFirstFrame;
    m_segmentSettings = settings_text(settings);
    m_segmentTimecode = settings.timecode ? settings.timecode : "";
    m_segmentMetadata.clear();
    for (int32_t i = 0; settings.metadataPairs && i < settings.metadataCount; ++i)
        m_segmentMetadata.emplace_back(settings.metadataPairs[i].key, settings.metadataPairs[i].value);
    const std::string path = segment_path(outputPath, settings.segmentFirstFrame);
    if (path.size() >= size_t(PATH_SIZE)) {
        log(LOG_ERROR, "QelFFmpegWriter: file path longer than %d characters: %s", PATH_SIZE - 1, path.c_str());
        return false;
    }
    copy_text(m_fileName, path.c_str());
    return true;
}

bool FFWriter::openContainer(const WriterSettings& settings) {
    m_outputFormat = find_muxer(settings.containerName);
    if (!m_outputFormat) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to allocate output format");
        return false;
    }
    if (m_outputFormat->flags & AVFMT_NOFILE) {
        log(LOG_ERROR, "QelFFmpegWriter: format doesn't require file to be created");
        return false;
    }
    // The output's container decides how the encoders are set up; a segment
    // is carried in its own, which the join reads back exactly.
    const AVOutputFormat* muxer = m_segment ? find_muxer(SEGMENT_CARRIER) : m_outputFormat;
    AVFormatContext* context = nullptr;
    if (muxer) avformat_alloc_output_context2(&context, muxer, nullptr, m_fileName);
    m_formatContext.reset(context);
    if (!context) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to allocate format context");
        return false;
    }
    addMetadata(&context->metadata, settings);
    return true;
}

void FFWriter::addMetadata(AVDictionary** dictionary, const WriterSettings& settings) {
    if (m_noMetadata) return;
    if (settings.metadataPairs)
        for (int32_t i = 0; i < settings.metadataCount; ++i)
            av_dict_set(dictionary, settings.metadataPairs[i].key, settings.metadataPairs[i].value, 0);
    av_dict_set(dictionary, "encoder", WRITER_ENCODER_TAG, 0);
}

bool FFWriter::openFile() {
    av_dump_format(m_formatContext.get(), 0, m_fileName, 1);

    char directory[PATH_SIZE];
    copy_text(directory, m_fileName);
    if (char* separator = const_cast<char*>(last_separator(directory))) {
        *separator = '\0';
        if (directory[0]) file_create_directory(directory, true);
    }

    const bool created = m_useTempFile ? m_outputFile.create(m_fileName, m_log)
                                       : m_outputFile.openSpecial(m_fileName, m_log);
    if (!created) {
        log(LOG_ERROR, "QelFFmpegWriter: failed to create file: %s", ffmpeg_error_text(m_outputFile.error()));
        return false;
    }
    if (m_useTempFile) m_tempFileName = m_outputFile.path();
    // The muxer writes through the file's own I/O, which knows every position.
    AVFormatContext* context = m_formatContext.get();
    context->pb = m_outputFile.io();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    av_freep(&context->url);
    context->url = av_strdup(m_outputFile.path().c_str());
    return context->url != nullptr;
}

bool FFWriter::writeHeader(const char* timecode) {
    Dictionary options;
    av_dict_set(options.address(), "timecode", timecode, AV_DICT_APPEND);
    // Ogg holds a page of each stream until it lasts a second: half a second
    // keeps a crash's loss to what the other muxers lose.
    const AVOutputFormat* muxer = m_formatContext->oformat;
    if (muxer_has_option(*muxer, "page_duration")) av_dict_set(options.address(), "page_duration", "500000", 0);

    const int result = avformat_write_header(m_formatContext.get(), options.address());
    if (result < 0) {
        log(LOG_ERROR, "QelFFmpegWriter: Error occurred when opening output file: %s", ffmpeg_error_text(result));
        if (const char* needs = mxf_needs(muxer->name)) log(LOG_ERROR, "QelFFmpegWriter: %s", needs);
        return false;
    }
    // A movie with no media yet is a movie all the same, from the start.
    avio_flush(m_formatContext->pb);
    m_batches = std::make_unique<MediaBatches>(*m_formatContext);
    if (m_useTempFile && writes_index_last(muxer->name)) {
        m_crashSafe = std::make_unique<CrashSafeMovie>();
        if (!m_crashSafe->start(m_formatContext.get(), m_outputFile, m_log)) {
            m_crashSafe.reset();
            log(LOG_WARNING, "QelFFmpegWriter: <%s> cannot be kept readable while it is written: a crash would lose it",
                m_tempFileName.c_str());
        }
    }
    // libavformat puts its own name over the container's "encoder". mov
    // writes its tags only at the trailer, so ours can go back; muxers that
    // rewrite their header at the trailer (asf) must keep what they wrote.
    if (!m_noMetadata && std::strcmp(muxer->name, "mov") == 0)
        av_dict_set(&m_formatContext->metadata, "encoder", WRITER_ENCODER_TAG, 0);
    return true;
}
