#include "QueuedNames.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace pinfile::posix {

namespace {

namespace fs = std::filesystem;

Status StatusOf(const std::error_code& error) {
    if (!error) return {};
    return Status(error.category() == std::generic_category() ||
                          error.category() == std::system_category()
                      ? error.value()
                      : EINVAL);
}

// Follows the name while it is a symbolic link, also one that leads nowhere yet, whose file a
// copy then creates.
fs::path FollowLinks(fs::path name, std::error_code& failure) {
    for (int hops = 0; !failure && fs::is_symlink(fs::symlink_status(name, failure)); ++hops) {
        if (hops == 40) {
            failure = std::make_error_code(std::errc::too_many_symbolic_link_levels);
            break;
        }
        const fs::path next = fs::read_symlink(name, failure);
        name = next.is_absolute() ? next : name.parent_path() / next;
    }
    if (failure == std::errc::no_such_file_or_directory) failure.clear();
    return name;
}

}  // namespace

Status QueuedTarget(TextView target, std::string& queued) {
    std::error_code failure;
    const fs::path absolute = FollowLinks(fs::absolute(fs::path(target), failure), failure);
    const fs::path resolved = failure ? fs::path() : fs::weakly_canonical(absolute, failure);
    if (!failure) queued = resolved.string();
    return StatusOf(failure);
}

Status QueuedEntry(TextView name, std::string& queued) {
    std::error_code failure;
    const fs::path absolute = fs::absolute(fs::path(name), failure).lexically_normal();
    const fs::path folder =
        failure ? fs::path() : fs::weakly_canonical(absolute.parent_path(), failure);
    if (failure) return StatusOf(failure);
    if (absolute.filename().empty()) return Status(EISDIR);
    queued = (folder / absolute.filename()).string();
    return {};
}

}  // namespace pinfile::posix
