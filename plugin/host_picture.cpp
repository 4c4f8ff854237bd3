#include "host_picture.h"

#include "VelmoraServices.h"
#include "base/host_services.h"

HostPicture::~HostPicture() {
    if (m_copy) img_delete(m_copy);
}

bool HostPicture::take(const QEL_FrameParams& params, std::string& why) {
    _image_str* image = params.image;
    auto isDirect = suite_entry<QelImageIsDirect>(g_suites.image, IMAGE_IS_DIRECT);
    if (image && isDirect && !isDirect(image)) {
        // A copy the host never filled would be encoded as a frame of whatever
        // its memory held.
        VlIContext* context = srv_get_default_icontext();
        if (!context) {
            why = "QelFFmpegWriter: the host gave no image context to copy the frame's picture with";
            return false;
        }
        m_copy = mem_alloc_image(params.width, params.height, params.channels,
                                 Remap_QelImageFormat2KORVEX(params.image_format), -1);
        if (!m_copy) {
            why = "QelFFmpegWriter: the host could not allocate an image to copy the frame's picture into";
            return false;
        }
        virtual_operation<QelICopy>(context, ICONTEXT_COPY)(context, m_copy, image);
        virtual_operation<QelIComplete>(context, ICONTEXT_COMPLETE)(context, m_copy);
        image = m_copy;
    }
    auto data = suite_entry<QelImageData>(g_suites.image, IMAGE_DATA);
    m_pixels = (image && data) ? data(image) : nullptr;
    if (!m_pixels) why = "QelFFmpegWriter: the host gave no pixels for the frame";
    return m_pixels != nullptr;
}
