// A stand-in Ctrl suite that keeps every control's value and enabled state in
// memory: what the test (or the module's code) last set is what it reads.
#pragma once

#include "base/qel_abi.h"
#include "panel/Controls.h"

#include <cstdint>
#include <map>

namespace control_values {

inline std::map<uint32_t, int32_t> values;
inline std::map<uint32_t, bool> enabled;

inline void enable(uint32_t control, bool on) { enabled[control] = on; }
inline void disable(uint32_t control) { enabled[control] = false; }
inline void control_only(uint32_t) {}
inline bool get_bool(uint32_t control) { return values[control] != 0; }
inline void set_bool(uint32_t control, bool value) { values[control] = value; }
inline int32_t get_int(uint32_t control) { return values[control]; }
inline void set_int(uint32_t control, int32_t value) { values[control] = value; }
inline void set_choices(uint32_t, const char*) {}

inline void* suite[82];

// Clears the values and gives every control of `controls` an identifier, as
// if the panel had built itself on a host.
inline void install(Controls& controls) {
    values.clear();
    enabled.clear();
    suite[CTRL_ENABLE] = reinterpret_cast<void*>(&enable);
    suite[CTRL_DISABLE] = reinterpret_cast<void*>(&disable);
    suite[CTRL_SET_SELECTABLE] = reinterpret_cast<void*>(&enable);
    suite[CTRL_SET_FIXED] = reinterpret_cast<void*>(&control_only);
    suite[CTRL_GET_BOOL] = reinterpret_cast<void*>(&get_bool);
    suite[CTRL_SET_BOOL] = reinterpret_cast<void*>(&set_bool);
    suite[CTRL_GET_INT] = reinterpret_cast<void*>(&get_int);
    suite[CTRL_SET_INT] = reinterpret_cast<void*>(&set_int);
    suite[CTRL_SET_CHOICES] = reinterpret_cast<void*>(&set_choices);
    controls.m_ctrlSuite = suite;
    uint32_t next = 1;
    for (uint32_t Controls::*id :
         {&Controls::m_container, &Controls::m_videoEncoder, &Controls::m_audioEncoder, &Controls::m_pixelFormat,
          &Controls::m_videoProfile, &Controls::m_audioProfile, &Controls::m_quality, &Controls::m_fastStart,
          &Controls::m_keyFrames, &Controls::m_videoBitRate, &Controls::m_stereo, &Controls::m_sixteenBit,
          &Controls::m_audioBitRate, &Controls::m_bitRateMode})
        controls.*id = next++;
    for (uint32_t& toggle : controls.m_audioChannels) toggle = next++;
}

}  // namespace control_values
