#include "text.h"

#include <cstring>

void copy_text(char* destination, size_t size, const char* source) {
    if (!destination || size == 0) return;
    if (!source) source = "";
    size_t n = std::strlen(source);
    if (n >= size) n = size - 1;
    std::memcpy(destination, source, n);
    destination[n] = '\0';
}
