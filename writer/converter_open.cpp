// The picture converter of an output, made once it is open: the one-pass
// converter where it takes the pixels, libswscale otherwise, with the matrix
// and range the colour decision gave, and the pool its pictures come from.
#include "writer/FFWriter.h"
#include "writer/colour/output_colour.h"

#include "base/log.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {

// libswscale makes no palette pictures. As FFmpeg's own scale filter does,
// the converter makes 3-3-2 BGR and each picture carries the palette that
// spells out that layout (convertPicture).
AVPixelFormat converter_format(AVPixelFormat format) {
    return format == AV_PIX_FMT_PAL8 ? AV_PIX_FMT_BGR8 : format;
}

}  // namespace

bool FFWriter::openConverter() {
    m_outFrame.reset(av_frame_alloc());
    m_inFrame.reset(av_frame_alloc());
    if (!m_outFrame || !m_inFrame) {
        m_outFrame.reset();
        m_inFrame.reset();
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    const auto inFormat = AVPixelFormat(m_inPixelFormat);
    const auto outFormat = AVPixelFormat(m_outPixelFormat);

    ConverterSetup setup;
    setup.width = m_width;
    setup.height = m_height;
    setup.inFormat = inFormat;
    setup.outFormat = converter_format(outFormat);
    setup.fullRangeOut = m_colour.range == AVCOL_RANGE_JPEG;
    setup.matrix = m_colour.conversion;
    if (!m_pictureConverter.open(setup) && !(m_swsContext = make_converter(setup))) {
        log(LOG_ERROR, "QelFFmpegWriter: Failed to initialize conversion context");
        return false;
    }

    const int size = av_image_get_buffer_size(outFormat, m_width, padded_height(m_height), PICTURE_ALIGN);
    if (size > 0) m_pictureBuffer.reset(av_buffer_pool_init(size_t(size), nullptr));
    if (!m_pictureBuffer) {
        log(LOG_ERROR, "QelFFmpegWriter: memory allocation error");
        return false;
    }
    m_outFrame->format = outFormat;
    m_outFrame->width = m_width;
    m_outFrame->height = m_height;
    m_inFrame->format = inFormat;
    m_inFrame->width = m_width;
    m_inFrame->height = m_height;
    return true;
}
