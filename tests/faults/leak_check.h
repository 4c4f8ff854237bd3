// Blocks no longer reachable, asked of LeakSanitizer now. A forked child ends
// with _exit, so the check at exit never sees what the child did.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

inline bool leaks_now() {
#if defined(__SANITIZE_ADDRESS__)
    return __lsan_do_recoverable_leak_check() != 0;
#else
    return false;
#endif
}
