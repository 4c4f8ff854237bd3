// Asking FFmpeg, once per process, what cannot work here: a device encoder
// without its device, a codec its container refuses. Asked only when a list
// holding the encoder is first built, so INIT pays for one container.
#include "availability.h"

#include "base/compat.h"
#include "base/quiet_log.h"
#include "trial_cache.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hwcontext.h>
#include <libavutil/mem.h>
}

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>

namespace {

constexpr const char* MARK_UNAVAILABLE = " (not available here)";

bool ends_with(const char* text, const char* tail) {
    const size_t length = std::strlen(text), tailLength = std::strlen(tail);
    return length >= tailLength && std::strcmp(text + length - tailLength, tail) == 0;
}

bool any_file_in(std::initializer_list<const char*> folders) {
    for (const char* folder : folders) {
        std::error_code error;
        if (std::filesystem::directory_iterator(folder, error) != std::filesystem::directory_iterator()) return true;
    }
    return false;
}

// FFmpeg reports a missing device of these kinds as an error, through an
// object the module cannot quiet: they are asked for only when the machine
// shows a sign of one. The others say nothing when absent.
bool could_have_device(AVHWDeviceType type) {
    switch (type) {
    case AV_HWDEVICE_TYPE_CUDA: {
        void* driver = dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
        if (driver) dlclose(driver);
        return driver != nullptr;
    }
    case AV_HWDEVICE_TYPE_VULKAN:
        return std::getenv("VK_ICD_FILENAMES") || std::getenv("VK_DRIVER_FILES") ||
               any_file_in({"/usr/share/vulkan/icd.d", "/etc/vulkan/icd.d", "/usr/local/share/vulkan/icd.d"});
    case AV_HWDEVICE_TYPE_VDPAU:
        return std::getenv("DISPLAY") != nullptr;
    case AV_HWDEVICE_TYPE_OPENCL:
        return any_file_in({"/etc/OpenCL/vendors"});
    default:
        return true;
    }
}

bool device_opens(AVHWDeviceType type) {
    static TrialCache<AVHWDeviceType, bool> known;
    return known.find(type, [type] {
        AVBufferRef* device = nullptr;
        const bool opens = could_have_device(type) && av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0) >= 0;
        av_buffer_unref(&device);
        return opens;
    });
}

// Encoders of a device that FFmpeg describes by no device type (V4L2
// memory-to-memory, OpenMAX, which carries no hardware flag either) are
// tried for real, at a size every device takes.
bool opens_without_device(const AVCodec& codec) {
    AVCodecContext* context = avcodec_alloc_context3(&codec);
    if (!context) return false;
    quiet_log(*context);
    const ffcompat::Supported<AVPixelFormat> formats = ffcompat::pixel_formats(&codec);
    context->pix_fmt = formats.count > 0 ? formats.items[0] : AV_PIX_FMT_YUV420P;
    context->width = 1280;
    context->height = 720;
    context->time_base = AVRational{1, 25};
    context->framerate = AVRational{25, 1};
    const bool opens = avcodec_open2(context, &codec, nullptr) >= 0;
    avcodec_free_context(&context);
    return opens;
}

const char* probe_encoder(const AVCodec& codec) {
    bool hasDeviceType = false;
    bool anyDevice = false;
    for (int i = 0; const AVCodecHWConfig* config = avcodec_get_hw_config(&codec, i); ++i) {
        if (!(config->methods & (AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX | AV_CODEC_HW_CONFIG_METHOD_HW_FRAMES_CTX)))
            continue;
        hasDeviceType = true;
        if (device_opens(config->device_type)) anyDevice = true;
    }
    if (hasDeviceType) return anyDevice ? nullptr : "its device is not present on this machine";
    const bool drivesDevice = (codec.capabilities & AV_CODEC_CAP_HARDWARE) || ends_with(codec.name, "_omx");
    if (!drivesDevice) return nullptr;
    return opens_without_device(codec) ? nullptr : "it does not open on this machine";
}

// The settings a stream is tried with; a pair counts as refused only when
// every one of them is.
struct Trial {
    int width, height;
    AVRational rate;
    int sampleRate, channels;
};
constexpr Trial TRIALS[] = {
    {1920, 1080, {25, 1}, 48000, 2},
    {720, 576, {25, 1}, 44100, 1},
    {176, 144, {30000, 1001}, 8000, 1},
};

bool add_trial_stream(AVFormatContext& context, const AVCodec& codec, const Trial& trial) {
    AVStream* stream = avformat_new_stream(&context, nullptr);
    if (!stream) return false;
    AVCodecParameters* parameters = stream->codecpar;
    parameters->codec_type = codec.type;
    parameters->codec_id = codec.id;
    if (codec.type == AVMEDIA_TYPE_VIDEO) {
        const ffcompat::Supported<AVPixelFormat> formats = ffcompat::pixel_formats(&codec);
        parameters->format = formats.count > 0 ? formats.items[0] : AV_PIX_FMT_YUV420P;
        parameters->width = trial.width;
        parameters->height = trial.height;
        stream->time_base = av_inv_q(trial.rate);
        stream->avg_frame_rate = trial.rate;
    } else {
        const ffcompat::Supported<AVSampleFormat> formats = ffcompat::sample_formats(&codec);
        parameters->format = formats.count > 0 ? formats.items[0] : AV_SAMPLE_FMT_S16;
        parameters->sample_rate = trial.sampleRate;
        av_channel_layout_default(&parameters->ch_layout, trial.channels);
        stream->time_base = AVRational{1, trial.sampleRate};
    }
    return true;
}

// The codec's stream through the muxer's checks: its init only, or its whole
// header. With `partner`, a stream of the muxer's default codec of the other
// kind goes beside it, pictures first (MXF takes sound only beside pictures,
// amv only the pair). Writes to memory, never to a file.
bool trial_mux(const AVOutputFormat& muxer, const AVCodec& codec, const Trial& trial, bool header, bool partner) {
    const bool video = codec.type == AVMEDIA_TYPE_VIDEO;
    const AVCodec* other = partner ? avcodec_find_encoder(video ? muxer.audio_codec : muxer.video_codec) : nullptr;
    if (partner && !other) return false;
    AVFormatContext* context = nullptr;
    if (avformat_alloc_output_context2(&context, &muxer, nullptr, nullptr) < 0 || !context) return false;
    quiet_log(*context);
    const AVCodec* first = (other && !video) ? other : &codec;
    const AVCodec* second = other ? (video ? other : &codec) : nullptr;
    bool taken = false;
    if (add_trial_stream(*context, *first, trial) && (!second || add_trial_stream(*context, *second, trial)) &&
        avio_open_dyn_buf(&context->pb) >= 0) {
        taken = header ? avformat_write_header(context, nullptr) >= 0 : avformat_init_output(context, nullptr) >= 0;
        uint8_t* written = nullptr;
        avio_close_dyn_buf(context->pb, &written);
        context->pb = nullptr;
        av_free(written);
    }
    avformat_free_context(context);
    return taken;
}

bool trial_takes(const AVOutputFormat& muxer, const AVCodec& codec, const Trial& trial, bool header) {
    return trial_mux(muxer, codec, trial, header, false) || trial_mux(muxer, codec, trial, header, true);
}

}  // namespace

const char* encoder_unavailable(const AVCodec& codec) {
    static TrialCache<std::string, const char*> known;
    return known.find(codec.name, [&codec] { return probe_encoder(codec); });
}

const char* muxer_refuses(const AVOutputFormat& muxer, const AVCodec& codec) {
    static TrialCache<std::pair<std::string, int>, const char*> known;
    return known.find({muxer.name, codec.id}, [&]() -> const char* {
        bool taken = false;
        for (const Trial& trial : TRIALS) taken = taken || trial_takes(muxer, codec, trial, false);
        return taken ? nullptr : "the container does not take this codec";
    });
}

bool muxer_writes_header(const AVOutputFormat& muxer, const AVCodec& codec) {
    static TrialCache<std::pair<std::string, int>, bool> known;
    return known.find({muxer.name, codec.id}, [&] { return trial_takes(muxer, codec, TRIALS[0], true); });
}

const char* marked_label(const char* label, const char* mark) {
    static TrialCache<std::string, std::string> labels;
    const std::string marked = std::string(label) + mark;
    return labels.find(marked, [&marked] { return marked; }).c_str();
}

void mark_unavailable(const AVOutputFormat& muxer, EncoderList& list) {
    for (EncoderEntry& entry : list) {
        const AVCodec* codec = entry.codec_id != 0 ? avcodec_find_encoder_by_name(entry.name) : nullptr;
        if (!codec) continue;
        const char* mark = MARK_UNAVAILABLE;
        entry.unavailable = encoder_unavailable(*codec);
        // A container's own default codec is taken by definition, though some
        // (amv) take it only at sizes and rates no trial can guess.
        const bool ownDefault = entry.codec_id == muxer.video_codec || entry.codec_id == muxer.audio_codec;
        if (!entry.unavailable && !ownDefault) {
            entry.unavailable = muxer_refuses(muxer, *codec);
            mark = MARK_REFUSED;
        }
        if (!entry.unavailable) continue;
        entry.label = marked_label(entry.label ? entry.label : entry.name, mark);
    }
}
