#include "writer/picture/blank_picture.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <cstring>

FramePtr blank_picture(const AVCodecContext& context) {
    FramePtr frame(av_frame_alloc());
    if (!frame) return frame;
    frame->format = context.pix_fmt;
    frame->width = context.width;
    frame->height = context.height;
    frame->pts = 0;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return FramePtr();
    for (AVBufferRef* buffer : frame->buf)
        if (buffer) std::memset(buffer->data, 0, buffer->size);
    const ptrdiff_t linesizes[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], frame->linesize[3]};
    av_image_fill_black(frame->data, linesizes, context.pix_fmt, context.color_range, context.width,
                        context.height);
    return frame;
}
