#include "writer/movie_file/output_path.h"

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

std::string unfinished_name(const std::string& finalPath, int attempt) {
    const size_t separator = finalPath.find_last_of("/\\");
    const size_t name = separator == std::string::npos ? 0 : separator + 1;
    size_t dot = finalPath.rfind('.');
    if (dot == std::string::npos || dot < name) dot = finalPath.size();
    std::string unfinished = finalPath.substr(0, dot) + "_Unfinished";
    if (attempt > 1) unfinished += "-" + std::to_string(attempt);
    return unfinished + finalPath.substr(dot);
}
