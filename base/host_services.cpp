#include "host_services.h"

HostSuites g_suites;

void host_log(int level, const char* text) {
    if (level < 0 || level > 4 || !text) return;
    auto fn = suite_entry<QelLogFunction>(g_suites.log, level);
    if (fn) fn("%s", text);
}
