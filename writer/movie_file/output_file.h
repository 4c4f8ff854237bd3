// The file a movie is written into. A regular file is written under its
// unfinished name beside the final one and takes the final name only once it
// is finished: a render that is refused or dies never truncates an earlier
// take, and what a crash leaves is found by its name. While it is written the
// file is locked, so that another render can tell it from a crash's leftover.
// A device or FIFO is written straight through.
#pragma once

#include "base/compat.h"
#include "base/log.h"

#include <cstdint>
#include <string>
#include <vector>

// True when a render of this process or another holds the file (or it
// cannot be read, so that nothing else takes it).
bool held_by_a_render(const std::string& path);

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the unfinished file for `finalPath`, a regular file or none yet.
    // A name left by a render that did not finish is kept as it is and
    // reported (level 3); a name another render holds is passed over.
    bool create(const std::string& finalPath, LogSink log);
    // A device or FIFO, written as it is.
    bool openSpecial(const std::string& path, LogSink log);

    AVIOContext* io() const { return m_io; }
    // Why create or openSpecial failed, or the first write error: an AVERROR.
    int error() const { return m_error; }
    const std::string& path() const { return m_path; }
    // The file has an unfinished name: it is published or discarded at the end.
    bool unfinished() const { return m_unfinished; }

    // Bytes already handed to the file (after an avio_flush).
    bool read(int64_t position, void* data, size_t size) const;
    // Writes at `position` around the io's buffer, which must be flushed.
    bool patch(int64_t position, const void* data, size_t size);

    // From now on, what the io writes before `end` waits until
    // releaseHeldWrites(): a muxer's trailer updates its header only once
    // everything behind it is on disk.
    void holdWritesBefore(int64_t end);
    // Puts `bytes` in place of every held write that touches their span.
    void replaceHeldWrites(int64_t position, std::vector<uint8_t> bytes);
    bool releaseHeldWrites();

    // What was written so far made durable (fdatasync): a power cut then
    // loses nothing before it. False on the disk's error, kept as error().
    bool sync();
    // Bytes the file holds.
    int64_t size() const { return m_size; }

    // Flushes and closes; 0 or the first error (an AVERROR) the file met.
    // An unfinished file that met none is on the disk before it is named.
    int close();
    // Gives the finished file its final name, replacing what was there, and
    // flushes the folder, so that after a power cut the name holds the new
    // movie or the earlier take, whole.
    bool publish(const std::string& finalPath, LogSink log);
    // Removes the unfinished file: nothing of a refused output stays, and a
    // movie rewritten under its final name leaves no copy.
    void discard();

private:
    static int write_bytes(void* opaque, ffcompat::WrittenBytes data, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);
    bool attach(int fd, const std::string& path, bool seekable, bool unfinished);
    int write_at(int64_t position, const uint8_t* data, size_t size);

    int m_fd = -1;
    AVIOContext* m_io = nullptr;
    std::string m_path;
    bool m_unfinished = false;
    bool m_positioned = false;  // written with pwrite at m_position
    int64_t m_position = 0;
    int64_t m_size = 0;
    int64_t m_holdBefore = -1;
    struct HeldWrite {
        int64_t position;
        std::vector<uint8_t> bytes;
    };
    std::vector<HeldWrite> m_held;
    int m_error = 0;
};
