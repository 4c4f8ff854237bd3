// What an output path names on disk, once symbolic links are followed: only a
// regular file (or nothing yet) may get a temporary file renamed over it.
#pragma once

#include <string>

enum class OutputKind {
    Absent,       // nothing there yet: a new file
    RegularFile,  // replaced
    Directory,    // refused
    Special,      // a device, FIFO or socket: written straight through
};

struct OutputTarget {
    OutputKind kind = OutputKind::Absent;
    std::string path;  // the path itself, or the last target of its links
};

OutputTarget resolve_output(const std::string& path);
