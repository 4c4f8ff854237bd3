#include "output_plan.h"

#include "catalogue/colour_choices.h"
#include "catalogue/profiles.h"
#include "panel/settings_rules.h"
#include "writer/settings/frame_rate.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/pixfmt.h>
}

#include <climits>
#include <cmath>

namespace {

// The host's rate as the whole number every later step uses; 0 for a rate
// that is none (below one, not a number, beyond 32 bits).
int32_t integer_sample_rate(double hostRate) {
    if (!(hostRate >= 0.5) || hostRate >= double(INT32_MAX)) return 0;
    return int32_t(std::lround(hostRate));
}

int32_t field_order_setting(int32_t hostFieldOrder) {
    switch (hostFieldOrder) {
    case 0: return AV_FIELD_PROGRESSIVE;
    case 1: return AV_FIELD_TB;
    case 2: return AV_FIELD_BT;
    default: return AV_FIELD_UNKNOWN;
    }
}

const char* label_at(const ChoiceList& list, const Controls& controls, uint32_t control) {
    const ChoiceEntry* entry = entry_at(list, controls, control);
    return entry ? entry->label : nullptr;
}

// The host's sound and the panel's channel toggles; off when there is nothing to slice.
bool plan_audio(const Controls& controls, const PanelLists& lists, const HostAudioFormat& host, OutputPlan& plan) {
    AudioSlicing& audio = plan.audio;
    WriterSettings& settings = plan.settings;
    // Samples wider than any the host's formats have are no sound to read.
    if (!host.present || host.bits_per_sample <= 0 || host.bits_per_sample > 64) return false;
    audio.bits_per_sample = host.bits_per_sample == 24 ? 32 : host.bits_per_sample;  // 24-bit audio is read as 32-bit samples
    audio.flags = host.flags & ~1;
    audio.bytes_per_sample = (audio.bits_per_sample + 7) / 8;
    const ChannelSelection selection = select_channels(controls, host.channels);
    audio.channel_mask = selection.mask;
    audio.channels = selection.count;
    audio.sample_rate = integer_sample_rate(host.sample_rate);
    settings.inSampleFormat = input_sample_format(audio.bits_per_sample);
    settings.outSampleFormat =
        choose_out_sample_format(lists.sample_formats, controls.get_bool(controls.m_sixteenBit), settings.inSampleFormat);
    if (audio.channels == 0 || audio.sample_rate <= 0 || audio.bytes_per_sample <= 0) return false;

    settings.audioCodecName = selected_audio_encoder(lists, controls);
    settings.audioProfile = label_at(lists.audio_profiles, controls, controls.m_audioProfile);
    settings.inSampleRate = audio.sample_rate;
    settings.channels = audio.channels;
    settings.audioBitRate = audio_bit_rate_setting(controls.get_int(controls.m_audioBitRate));
    settings.stereo = controls.get_bool(controls.m_stereo);
    return settings.audioCodecName != nullptr;
}

}  // namespace

OutputPlan plan_output(const Controls& controls, const PanelLists& lists, const OutputRequest& request) {
    const QEL_FrameParams& params = request.params;
    OutputPlan plan;
    WriterSettings& settings = plan.settings;
    settings.inSampleFormat = -1;
    settings.outSampleFormat = -1;
    plan.audio_on = plan_audio(controls, lists, request.audio, plan);
    plan.audio.fps = slicing_fps(usable_frame_rate(params.fps));

    settings.metadataPairs = request.metadata.empty() ? nullptr : request.metadata.data();
    settings.metadataCount = int32_t(request.metadata.size());
    settings.noMetadata = request.noMetadata;
    settings.containerName = selected_container(lists, controls);
    settings.videoCodecName = selected_video_encoder(lists, controls);
    settings.videoProfile = label_at(lists.video_profiles, controls, controls.m_videoProfile);
    settings.width = params.width;
    settings.height = params.height;
    settings.frameRate = params.fps;
    settings.timecode = params.timecode;
    settings.inPixelFormat = params.channels == 4 ? AV_PIX_FMT_RGBA64LE : AV_PIX_FMT_RGB48LE;
    const ChoiceEntry* pixels = entry_at(lists.pixel_formats, controls, controls.m_pixelFormat);
    settings.outPixelFormat = pixels ? pixels->value : -1;
    settings.fieldOrder = field_order_setting(params.field_order);
    settings.videoBitRate = video_bit_rate_setting(controls.get_int(controls.m_videoBitRate));
    settings.quality = quality_setting(controls.get_int(controls.m_quality));
    settings.keyFrameInterval = controls.get_int(controls.m_keyFrames);
    settings.fastStart = controls.get_bool(controls.m_fastStart);
    settings.vbr = vbr_setting(controls.get_int(controls.m_bitRateMode));
    settings.colour = controls.get_int(controls.m_colour);
    MasteringChoice& mastering = settings.mastering;
    mastering.primaries = controls.get_int(controls.m_masteringPrimaries);
    mastering.maxLuminance = controls.get_int(controls.m_masteringMax);
    mastering.minLuminance = mastering_min_luminance(controls.get_int(controls.m_masteringMin));
    mastering.maxContentLight = controls.get_int(controls.m_maxContentLight);
    mastering.maxFrameAverageLight = controls.get_int(controls.m_maxFrameAverageLight);
    settings.segment = controls.get_bool(controls.m_segment);
    settings.loudnessTarget = controls.get_int(controls.m_loudnessTarget);
    // A frame number beyond every timeline is refused at open, as a negative one is.
    settings.segmentFirstFrame = std::isfinite(params.frame) && std::fabs(params.frame) < 1e15
                                     ? int64_t(std::llround(params.frame))
                                     : -1;
    plan.video_on = settings.videoCodecName != nullptr;
    return plan;
}
