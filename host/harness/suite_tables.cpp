#include "suite_tables.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qelhost {
namespace {

const char* table_name(int suite) {
    if (suite >= 0 && suite < SUITE_COUNT) return SUITE_NAMES[suite].data();
    return "node object operation";
}

template <int Suite, size_t Entry>
[[noreturn]] void unexpected_entry() {
    std::fprintf(stderr, "qelhost: the module called %s entry %zu, which the host contract does not offer\n",
                 table_name(Suite), Entry);
    std::abort();
}

template <int Suite, size_t... I>
FunctionTable traps(std::index_sequence<I...>) {
    return {entry_pointer(&unexpected_entry<Suite, I>)...};
}

template <int Suite>
FunctionTable traps() {
    return traps<Suite>(std::make_index_sequence<TABLE_SIZE>{});
}

}  // namespace

FunctionTable trap_table(SuiteId suite) {
    switch (suite) {
    case SUITE_LOG: return traps<SUITE_LOG>();
    case SUITE_CTRL: return traps<SUITE_CTRL>();
    case SUITE_MULTIPROC: return traps<SUITE_MULTIPROC>();
    case SUITE_NODE: return traps<SUITE_NODE>();
    case SUITE_IMAGE: return traps<SUITE_IMAGE>();
    case SUITE_IMAGE_CONVERSION: return traps<SUITE_IMAGE_CONVERSION>();
    case SUITE_OPENGL: return traps<SUITE_OPENGL>();
    case SUITE_DIALOG: return traps<SUITE_DIALOG>();
    case SUITE_UTILS: return traps<SUITE_UTILS>();
    default: return traps<NODE_OBJECT_TABLE>();
    }
}

void* const* suite_table(std::string_view name) {
    // Suites the module acquires but never calls: nothing but traps.
    static const FunctionTable multiProc = trap_table(SUITE_MULTIPROC);
    static const FunctionTable imageConversion = trap_table(SUITE_IMAGE_CONVERSION);
    static const FunctionTable openGL = trap_table(SUITE_OPENGL);
    static const FunctionTable dialog = trap_table(SUITE_DIALOG);
    static const FunctionTable utils = trap_table(SUITE_UTILS);

    const FunctionTable* tables[SUITE_COUNT] = {&log_suite_table(),  &ctrl_suite_table(), &multiProc,
                                                &node_suite_table(), &image_suite_table(), &imageConversion,
                                                &openGL,             &dialog,              &utils};
    for (int i = 0; i < SUITE_COUNT; ++i)
        if (SUITE_NAMES[i] == name) return tables[i]->data();
    return nullptr;
}

}  // namespace qelhost
