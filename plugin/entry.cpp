// The module's two exported symbols: the descriptor the host reads when it
// scans its plug-ins, and the action entry that drives every instance.
#include "frame_requests.h"
#include "base/host_services.h"
#include "base/log.h"
#include "base/qel_abi.h"
#include "state.h"

#include "panel/Controls.h"
#include "panel/presenter.h"
#include "writer/FFWriter.h"

#include "VelmoraCore.h"
#include "fflink.h"

#include <memory>
#include <mutex>

#define QEL_EXPORT __attribute__((visibility("default")))

namespace {

const char* translate(const char* text) { return vl_pgettext(nullptr, text); }

// Filled when the module is loaded, so the host sees its language of that moment.
QEL_InfoRecord make_info() {
    QEL_InfoRecord info{};
    info.category = translate("Encoders");
    info.name = translate("FFmpeg Encoder");
    info.description = translate("FFmpeg File writer");
    info.vendor = "Qel Software";
    info.copyright = translate("Copyright (c) Qel Software");
    info.identifier = "5C1E7A40-2B9D-4F63-A8E1-0D4B7C2F9E16";
    info.value48 = 0;
    info.value52 = 1;
    info.value56 = 32;
    info.empty64 = "";
    info.value72 = 1;
    info.value76 = 1;
    info.none80 = translate("None");
    info.value88 = 6;
    info.value128 = 2;
    return info;
}

// Live instances; the first binds FFmpeg and acquires the suites, the last
// unbinds. Instances may begin and end on different threads at once, so the
// count, the binding and the suites change under one lock.
std::mutex g_bindingLock;
uint32_t g_instanceCount = 0;

// FFmpeg's codec, format, util, scale and resample libraries, closed by 8.
const int32_t FFLINK_LIBRARIES[] = {0, 1, 2, 3, 4, 8};

void acquire_suites(QEL_Host* host) {
    struct Slot {
        const char* name;
        void* const** slot;
    };
    const Slot slots[] = {
        {"Log", &g_suites.log},
        {"Ctrl", &g_suites.ctrl},
        {"MultiProc", &g_suites.multiProc},
        {"Node", &g_suites.node},
        {"Image", &g_suites.image},
        {"ImageConversion", &g_suites.imageConversion},
        {"OpenGLv1", &g_suites.openGL},
        {"SuiteDialog", &g_suites.suiteDialog},
        {"Utils", &g_suites.utils},
    };
    for (const Slot& s : slots) {
        void* suite = host->get_suite ? host->get_suite(s.name) : nullptr;
        *s.slot = static_cast<void* const*>(suite);
        if (!suite) return;  // the suites after a missing one keep their slots
    }
}

void release_binding() {
    std::lock_guard<std::mutex> lock(g_bindingLock);
    if (--g_instanceCount != 0) return;
    try {
        fflink_unload();
    } catch (...) {
    }
}

bool bind_instance(QEL_Host* host) {
    std::lock_guard<std::mutex> lock(g_bindingLock);
    if (g_instanceCount == 0) {
        acquire_suites(host);
        if (!fflink_load(FFLINK_LIBRARIES, nullptr)) {
            host_log(LOG_ERROR, "QelFFmpeg: Error loading ffmpeg libraries");
            return false;
        }
    }
    ++g_instanceCount;
    return true;
}

bool init_instance(QEL_Host* host) {
    if (!bind_instance(host)) return false;
    try {
        auto state = std::make_unique<PluginState>();
        state->writer = std::make_unique<FFWriter>();
        state->controls = std::make_unique<Controls>(g_suites.log, g_suites.ctrl);
        state->controls->build();
        build_catalogue(state->panel());
        host->plugin_data = state.release();
        return true;
    } catch (...) {
        // Nothing may cross into the host; the count must not keep a
        // phantom instance that would stop the binding from ever ending.
        release_binding();
        return false;
    }
}

bool exit_instance(QEL_Host* host, PluginState* state) {
    // After a failed INIT there is no instance to count down: decrementing
    // would wrap the count and keep later instances from binding.
    if (!state) return false;
    // The writer goes first, as its own step: it may still hold an output.
    state->writer.reset();
    delete state;
    host->plugin_data = nullptr;
    release_binding();
    return true;
}

bool control_changed(PluginState* state, const QEL_CtrlAction* action) {
    if (!action) {
        host_log(LOG_VERBOSE, "QelFFmpeg: WARNING, pCtrlAction ptr is NULL!");
        return false;
    }
    if (!state || !state->controls) return false;
    on_control_changed(state->panel(), state->controls->change_for_control(action->control_id));
    return true;
}

bool restore(PluginState* state) {
    if (!state || !state->controls) return false;
    if (!state->lists.restored) restore_selection(state->panel());
    return true;
}

bool output_info(const PluginState* state, QEL_OutputInfo* info) {
    if (!state || !info) return false;
    // Field by field: the host's record may end right after audio_only.
    info->extension = state->lists.extension;
    info->zero8 = 0;
    info->zero16 = 0;
    info->value20 = 32;
    info->zero24 = 0;
    info->value32 = 1;
    info->audio_only = (state->audio_on && !state->video_on) ? 1 : 0;
    return true;
}

bool dispatch(QEL_Host* host, uint32_t action, void* params) {
    auto* state = static_cast<PluginState*>(host->plugin_data);
    switch (action) {
    case ACTION_INIT:
        return init_instance(host);
    case ACTION_EXIT:
        return exit_instance(host, state);
    case ACTION_PROCESS:
        if (!state || !params) return false;
        return process_frame(host, *state, static_cast<const QEL_FrameParams*>(params));
    case ACTION_CONTROL:
        return control_changed(state, static_cast<const QEL_CtrlAction*>(params));
    case ACTION_RESTORE:
        return restore(state);
    case ACTION_OUTPUT_INFO:
        return output_info(state, static_cast<QEL_OutputInfo*>(params));
    case 34:
    case 99:
        return true;
    default:
        return false;
    }
}

}  // namespace

extern "C" {

// The release, readable in the file itself (qelhost info, strings): the
// descriptor has no field for it, and the module exports nothing more.
extern const char QEL_VERSION_TEXT[];
__attribute__((used)) const char QEL_VERSION_TEXT[] = "QelFFmpegWriter version " QEL_VERSION;

QEL_EXPORT extern QEL_InfoRecord QEL_Info;
QEL_InfoRecord QEL_Info = make_info();

// Different instances may be driven from different threads at once; one
// instance by one thread at a time.
QEL_EXPORT bool QEL_KorvexAction(QEL_Host* host, uint32_t action, void* params) {
    if (!host) return false;
    try {
        return dispatch(host, action, params);
    } catch (...) {
        return false;
    }
}
}
