// Fixed-size texts: the host's paths and the module's bounded copies.
#pragma once

#include <cstddef>

// Room for a path or an extension, terminator included: the host's limit.
constexpr int PATH_SIZE = 260;

// Bounded copy that always terminates.
void copy_text(char* destination, size_t size, const char* source);
template <size_t N>
void copy_text(char (&destination)[N], const char* source) {
    copy_text(destination, N, source);
}
