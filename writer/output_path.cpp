#include "output_path.h"

#include <filesystem>

namespace fs = std::filesystem;

OutputTarget resolve_output(const std::string& path) {
    OutputTarget target;
    fs::path at(path);
    std::error_code error;
    // As many links as the kernel follows; a longer chain is left as it is
    // and the open then fails with the kernel's own reason.
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(at, error)); ++hops) {
        const fs::path next = fs::read_symlink(at, error);
        if (error) break;
        at = (next.is_absolute() ? next : at.parent_path() / next).lexically_normal();
    }
    target.path = at.string();
    const fs::file_status status = fs::status(at, error);
    if (!fs::exists(status)) target.kind = OutputKind::Absent;
    else if (fs::is_regular_file(status)) target.kind = OutputKind::RegularFile;
    else if (fs::is_directory(status)) target.kind = OutputKind::Directory;
    else target.kind = OutputKind::Special;
    return target;
}
