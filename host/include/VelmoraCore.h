// The host's core library (C linkage).
#pragma once
#include <cstdio>

extern "C" {
const char* vl_pgettext(const char* context, const char* text);
FILE* vl_utf8_fopen(const char* path, const char* mode);
int file_create_directory(const char* path, bool recursive);
int file_delete(const char* path);
const char* istrstr(const char* text, const char* pattern);
}
