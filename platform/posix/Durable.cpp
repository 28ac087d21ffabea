#include "Durable.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "../UtilityLibrary.h"
#include "FileIdentity.h"
#include "SystemCallTable.h"

namespace pinfile::posix {

Status WriteAllAt(int fd, std::string_view bytes, off_t offset) {
    while (!bytes.empty()) {
        const ssize_t n = RetryOnInterrupt(
            [&] { return System().pwrite(fd, bytes.data(), bytes.size(), offset); });
        if (n < 0) return LastError();
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    }
    return {};
}

Status OpenFolder(const std::string& folder, Descriptor& opened) {
    opened.reset(System().open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, kNoMode));
    return opened.valid() ? Status() : LastError();
}

Status SyncFolder(int folder) { return Checked(System().fsync(folder)); }

Status SyncFolder(const std::string& folder) {
    Descriptor opened;
    const Status status = OpenFolder(folder, opened);
    return status.Failed() ? status : SyncFolder(opened.get());
}

Status RemoveDurably(int folder, const std::string& name, bool* removed) {
    if (removed != nullptr) *removed = false;
    if (System().unlinkat(folder, name.c_str(), 0) != 0) return LastError();
    if (removed != nullptr) *removed = true;
    return SyncFolder(folder);
}

Status RemoveDurably(const std::string& path) {
    Descriptor folder;
    const Status status = OpenFolder(FolderOf(path), folder);
    return status.Failed() ? status : RemoveDurably(folder.get(), ulGetFileName(path));
}

Status CreateFolderDurably(const std::string& folder, mode_t mode) {
    if (System().mkdir(folder.c_str(), mode) == 0) return SyncFolder(FolderOf(folder));
    return errno == EEXIST ? Status() : LastError();
}

bool NameLeadsTo(int folder, const std::string& name, int file) {
    struct stat opened {};
    struct stat named {};
    return System().fstat(file, &opened) == 0 &&
           System().fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameInode(named, opened);
}

Status ReplaceDurably(int folder, const std::string& fresh, int file, const std::string& name,
                      const std::function<Status(int)>& fill, bool* placed) {
    if (placed != nullptr) *placed = false;
    Status status = fill(file);
    if (status.Succeeded()) status = Checked(System().fsync(file));
    if (status.Succeeded())
        status = Checked(System().renameat(folder, fresh.c_str(), folder, name.c_str()));
    if (status.Failed()) {
        if (NameLeadsTo(folder, fresh, file)) System().unlinkat(folder, fresh.c_str(), 0);
        return status;
    }
    if (placed != nullptr) *placed = true;
    return SyncFolder(folder);
}

}  // namespace pinfile::posix
