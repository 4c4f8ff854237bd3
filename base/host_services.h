// The host's suites as the module holds them, and typed calls into them.
#pragma once

#include "qel_abi.h"

// One module-wide slot per suite, null until acquired by the first instance.
struct HostSuites {
    void* const* log = nullptr;
    void* const* ctrl = nullptr;
    void* const* multiProc = nullptr;
    void* const* node = nullptr;
    void* const* image = nullptr;
    void* const* imageConversion = nullptr;
    void* const* openGL = nullptr;
    void* const* suiteDialog = nullptr;
    void* const* utils = nullptr;
};

extern HostSuites g_suites;

// Entry N of a suite, as the C type the host contract gives it.
template <typename Fn>
Fn suite_entry(void* const* suite, int entry) {
    return suite ? reinterpret_cast<Fn>(suite[entry]) : nullptr;
}

// Element K of a host object's operation table.
template <typename Fn>
Fn virtual_operation(void* object, int k) {
    void* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Fn>(table[k]);
}

// Sends an already formatted text to the Log suite at a level 0..4; no-op
// without the suite. The text is never read as a format.
void host_log(int level, const char* text);
