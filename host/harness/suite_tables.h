// The function tables the stand-in host hands out. Every element the host
// contract does not name is a trap that stops the program with the suite and
// entry the module reached for, instead of jumping to nowhere.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace qelhost {

enum SuiteId : int {
    SUITE_LOG,
    SUITE_CTRL,
    SUITE_MULTIPROC,
    SUITE_NODE,
    SUITE_IMAGE,
    SUITE_IMAGE_CONVERSION,
    SUITE_OPENGL,
    SUITE_DIALOG,
    SUITE_UTILS,
    NODE_OBJECT_TABLE,
    SUITE_ID_COUNT,
};

// Names in the order the module acquires them.
constexpr std::string_view SUITE_NAMES[] = {"Log",  "Ctrl",    "MultiProc",   "Node",  "Image",
                                            "ImageConversion", "OpenGLv1", "SuiteDialog", "Utils"};
constexpr int SUITE_COUNT = 9;

constexpr size_t TABLE_SIZE = 192;
using FunctionTable = std::array<void*, TABLE_SIZE>;

// A table whose every element is a trap naming `suite`.
FunctionTable trap_table(SuiteId suite);

// Filled suite tables (defined beside each suite's functions).
const FunctionTable& log_suite_table();
const FunctionTable& ctrl_suite_table();
const FunctionTable& node_suite_table();
const FunctionTable& image_suite_table();
const FunctionTable& node_object_table();

// The table the host serves for a suite name, null for a name it does not know.
void* const* suite_table(std::string_view name);

template <typename Fn>
void* entry_pointer(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

// Element K of a host object's operation table, as a host-side caller sees it.
template <typename Fn>
Fn virtual_call(void* object, int k) {
    return reinterpret_cast<Fn>((*static_cast<void* const* const*>(object))[k]);
}

}  // namespace qelhost
