// The panel's fixed lists, and control values turned into writer settings.
#include "settings_rules.h"

#include "Controls.h"
#include "VelmoraCore.h"

#include <cstring>

namespace {
const char* const g_qualityChoices = vl_pgettext(nullptr, "Minimum,Low,Normal,High,Maximum");
const char* const g_audioBitRateChoices = vl_pgettext(nullptr, "64kbps,128kbps,164kbps,192kbps,256kbps,Maximum");

// Indexed like the audio bit-rate list; 0 ("Maximum") leaves the rate to the encoder.
constexpr int32_t AUDIO_BIT_RATES_KBPS[6] = {64, 128, 164, 192, 256, 0};
constexpr size_t MAX_LABEL = 255;
}  // namespace

const char* quality_choices() { return g_qualityChoices; }
const char* audio_bit_rate_choices() { return g_audioBitRateChoices; }

std::string join_choices(const char* const* labels, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i) text += ',';
        const char* label = labels[i] ? labels[i] : "";
        const size_t n = strnlen(label, MAX_LABEL);
        for (size_t k = 0; k < n; ++k) text += label[k] == ',' ? '.' : label[k];
    }
    return text;
}

int32_t quality_setting(int32_t index) { return static_cast<uint32_t>(index) > 5 ? 5 : index; }

int32_t audio_bit_rate_setting(int32_t index) {
    const uint32_t i = static_cast<uint32_t>(index) > 5 ? 3 : static_cast<uint32_t>(index);
    return AUDIO_BIT_RATES_KBPS[i] * 1000;
}

int32_t video_bit_rate_setting(int32_t kilobytesPerSecond) {
    // The control's range (0..268435) keeps the product within 32 bits; a
    // host that ignores the range must not make it wrap.
    const int64_t bits = int64_t(kilobytesPerSecond) * 8000;
    if (bits < 0) return 0;
    return bits > INT32_MAX ? INT32_MAX : int32_t(bits);
}

int32_t vbr_setting(int32_t index) { return index != 0 ? 1 : 0; }

ChannelSelection select_channels(const Controls& controls, int32_t hostChannels) {
    ChannelSelection selection;
    for (int32_t i = 0; i < hostChannels; ++i) {
        if (i >= MAX_AUDIO_CHANNEL_TOGGLES) break;  // channels from the seventeenth on are never written
        if (controls.get_bool(controls.m_audioChannels[i])) {
            selection.mask |= 1u << i;
            ++selection.count;
        }
    }
    return selection;
}
