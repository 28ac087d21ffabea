#include "QueuedNames.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace pinfile::posix {

namespace {

namespace fs = std::filesystem;

int ErrnoOf(const std::error_code& error) {
    return error.category() == std::generic_category() || error.category() == std::system_category()
               ? error.value()
               : EINVAL;
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

std::string QueuedTarget(TextView target, int& error) {
    std::error_code failure;
    const fs::path absolute = FollowLinks(fs::absolute(fs::path(target), failure), failure);
    const fs::path resolved = failure ? fs::path() : fs::weakly_canonical(absolute, failure);
    error = failure ? ErrnoOf(failure) : 0;
    return failure ? std::string() : resolved.string();
}

std::string QueuedEntry(TextView name, int& error) {
    std::error_code failure;
    const fs::path absolute = fs::absolute(fs::path(name), failure).lexically_normal();
    fs::path folder = failure ? fs::path() : fs::weakly_canonical(absolute.parent_path(), failure);
    error = failure ? ErrnoOf(failure) : 0;
    if (failure || absolute.filename().empty()) {
        error = failure ? error : EISDIR;
        return std::string();
    }
    return (folder / absolute.filename()).string();
}

std::string FolderOf(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : name.substr(0, slash);
}

std::string LastComponentOf(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace pinfile::posix
