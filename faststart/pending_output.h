// The file a conversion writes, from its creation on. A regular file is
// written unnamed beside its final place and takes its name only when the
// conversion finishes: a crash or a failure in the middle of the copy leaves
// nothing behind, and whatever had the name keeps it until then. A device
// named as output (/dev/null) is written as it is.
#pragma once

#include "atoms.h"

#include <string>

namespace faststart {

class PendingOutput {
public:
    explicit PendingOutput(const char* name);
    ~PendingOutput();
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    FILE* get() const { return m_file.get(); }
    // Everything written reaches the file, which takes its name; false when
    // a last write or the naming fails, and then nothing is left.
    bool commit();

private:
    void remove();

    std::string m_name;
    File m_file;
    bool m_unnamed = false;  // written without a name, linked at commit
    bool m_regular = false;  // written at its name; removed unless committed
};

}  // namespace faststart
