// What makes a file's bytes and a folder's names survive a power cut: until
// they are flushed, a file system may keep a new name and lose the bytes
// behind it (XFS and network shares order data after names).
#pragma once

#include <string>

// The folder that holds `path` flushed, so that the names made or replaced in
// it stay; false with errno set when it could not be.
bool flush_folder_of(const std::string& path);

// `text` as the whole of the file at `path`, written under `path`.part and
// flushed before it takes the name: the name holds the earlier file or this
// one, never part of it. False with errno set; nothing is left under .part.
bool write_file_whole(const std::string& path, const std::string& text);
