// The video frame path: convert, stamp, encode, write.
#include "writer/FFWriter.h"
#include "writer/colour/output_colour.h"
#include "writer/picture/blank_picture.h"

#include "base/compat.h"
#include "base/error_text.h"
#include "base/log.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <cstring>

namespace {

void keep_buffer(void*, uint8_t*) {}

// The palette of the converter's 3-3-2 BGR pictures (see openConverter).
void fill_bgr8_palette(uint8_t* palette) {
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t blue = (i >> 6) * 85, green = ((i >> 3) & 7) * 36, red = (i & 7) * 36;
        const uint32_t entry = 0xFF000000u | red << 16 | green << 8 | blue;
        std::memcpy(palette + 4 * i, &entry, sizeof entry);
    }
}

}  // namespace

bool FFWriter::writeVideoFrame(const void* pixels, const MetadataPair* metadataPairs, int32_t metadataCount,
                               bool forceKeyFrame, const char* timecode) {
    if (!m_isOpen || !m_hasVideo || !pixels) return false;
    // The last picture is let go first, so that the pool can hand its buffer
    // to this one once the encoder is done with it: one picture less held.
    m_lastPicture.reset();
    if (!convertPicture(pixels)) return false;

    AVFrame* frame = m_outFrame.get();
    if (!m_noMetadata) {
        if (metadataPairs)
            for (int32_t i = 0; i < metadataCount; ++i)
                av_dict_set(&frame->metadata, metadataPairs[i].key, metadataPairs[i].value, 0);
        av_dict_set(&frame->metadata, "encoder", WRITER_ENCODER_TAG, 0);
    }
    av_dict_set(&m_videoStream->metadata, "timecode", timecode, 0);
    av_dict_set(&frame->metadata, "timecode", timecode, 0);

    // The picture's description goes with every frame: the encoders read
    // interlacing and colour from the frame, not only from the context.
    tag_frame(*frame, m_colour);
    ffcompat::set_field_order(frame, m_fieldOrder != AV_FIELD_PROGRESSIVE,
                              m_fieldOrder == AV_FIELD_TT || m_fieldOrder == AV_FIELD_TB);
    // A key-frame request holds for this frame only; the frame object is reused.
    frame->pict_type = forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    frame->pts = m_videoFrameCount++;
    const bool written = encodeAndWrite(m_videoCodecContext.get(), m_videoStream, frame, m_videoLastDts, true);
    // The encoder holds its own reference to the picture as long as it needs it.
    m_lastPicture.reset(av_frame_clone(frame));
    av_buffer_unref(&frame->buf[0]);
    return written;
}

bool FFWriter::repeatLastFrame() {
    if (!m_isOpen || !m_hasVideo) return false;
    FramePtr picture(m_lastPicture ? av_frame_clone(m_lastPicture.get()) : nullptr);
    if (!picture) picture = blank_picture(*m_videoCodecContext);
    if (!picture) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    picture->pict_type = AV_PICTURE_TYPE_NONE;
    picture->pts = m_videoFrameCount++;
    return encodeAndWrite(m_videoCodecContext.get(), m_videoStream, picture.get(), m_videoLastDts, true);
}

bool FFWriter::convertPicture(const void* pixels) {
    const auto outFormat = AVPixelFormat(m_outPixelFormat);
    const auto* source = static_cast<const uint8_t*>(pixels);
    m_outFrame->buf[0] = av_buffer_pool_get(m_pictureBuffer.get());
    int result = AVERROR(ENOMEM);
    if (m_outFrame->buf[0]) {
        av_image_fill_arrays(m_outFrame->data, m_outFrame->linesize, m_outFrame->buf[0]->data, outFormat, m_width,
                             padded_height(m_height), PICTURE_ALIGN);
        if (outFormat == AV_PIX_FMT_PAL8) fill_bgr8_palette(m_outFrame->data[1]);
        result = m_pictureConverter.isOpen() ? m_pictureConverter.convert(source, m_outFrame.get())
                                             : convertDirectly(source);
    }
    if (result < 0) {
        av_buffer_unref(&m_outFrame->buf[0]);
        log(LOG_ERROR, "QelFFmpegWriter: Error converting image format: %s", ffmpeg_error_text(result));
        return false;
    }
    return true;
}

int FFWriter::convertDirectly(const uint8_t* pixels) {
    const auto inFormat = AVPixelFormat(m_inPixelFormat);
    auto* source = const_cast<uint8_t*>(pixels);
    av_image_fill_arrays(m_inFrame->data, m_inFrame->linesize, source, inFormat, m_width, m_height, 1);
    // The converter's threaded interface takes reference-counted frames; the
    // host's pixels are lent to it, not copied.
    const int inSize = av_image_get_buffer_size(inFormat, m_width, m_height, 1);
    m_inFrame->buf[0] = av_buffer_create(source, size_t(inSize), keep_buffer, nullptr, AV_BUFFER_FLAG_READONLY);
    if (!m_inFrame->buf[0]) return AVERROR(ENOMEM);
    const int result = sws_scale_frame(m_swsContext.get(), m_outFrame.get(), m_inFrame.get());
    av_buffer_unref(&m_inFrame->buf[0]);
    return result;
}
