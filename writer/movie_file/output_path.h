// What an output path names on disk, once symbolic links are followed: only a
// regular file (or nothing yet) may get an unfinished movie renamed over it.
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

// The name a movie has until it is finished, beside the final one: the file
// name's extension (searched in the last path component only) kept after
// "_Unfinished" and, from the second attempt on, "-N" (clip.mov ->
// clip_Unfinished.mov, clip_Unfinished-2.mov). Outputs that differ only in
// their extension never share one.
std::string unfinished_name(const std::string& finalPath, int attempt = 1);
