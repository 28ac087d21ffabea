#include "FileCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>  // FICLONE
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace pinfile::posix {

namespace {

// Private files are named so that a later run can find the ones a killed run left behind.
constexpr std::string_view kPrivatePrefix = ".pinfile-";
constexpr std::size_t kPrivateNameLength = kPrivatePrefix.size() + 6;

// The byte copy of one stretch, for when the kernel cannot copy the extents itself.
int CopyByReading(int from, int to, off_t start, off_t end) {
    std::vector<char> buffer(1U << 17U);
    while (start < end) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(end - start, 1 << 17));
        const ssize_t n = RetryOnInterrupt([&] { return pread(from, buffer.data(), want, start); });
        if (n <= 0) return n < 0 ? errno : 0;
        const std::string_view read(buffer.data(), static_cast<std::size_t>(n));
        if (const int error = WriteAllAt(to, read, start); error != 0) return error;
        start += n;
    }
    return 0;
}

// One stretch of data in the kernel (copy_file_range), else by reading.
int CopyStretch(int from, int to, off_t start, off_t end) {
    off_t in = start;
    off_t out = start;
    while (in < end) {
        const auto want = static_cast<std::size_t>(end - in);
        const ssize_t n =
            RetryOnInterrupt([&] { return copy_file_range(from, &in, to, &out, want, 0); });
        if (n > 0) continue;
        if (n == 0) return 0;
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
            return errno;
        }
        return CopyByReading(from, to, in, end);
    }
    return 0;
}

// Copies the whole contents: a reflink where the file system shares extents, else stretch by
// stretch of data, so that holes stay holes and a sparse file stays sparse.
int CopyContents(int from, int to) {
    if (ioctl(to, FICLONE, from) == 0) return 0;
    struct stat info {};
    if (fstat(from, &info) != 0) return errno;
    for (off_t position = 0; position < info.st_size;) {
        off_t data = lseek(from, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // only a hole is left
        if (data < 0) data = position;          // no hole finding here: all of it is data
        off_t hole = lseek(from, data, SEEK_HOLE);
        if (hole < 0) hole = info.st_size;
        if (const int error = CopyStretch(from, to, data, hole); error != 0) return error;
        position = hole;
    }
    return ftruncate(to, info.st_size) == 0 ? 0 : errno;
}

// An attribute the new file cannot simply take over: a file capability belongs to the old
// program, as it would be cleared if the file were written in place.
bool KeptAttribute(std::string_view name) { return name != "security.capability"; }

}  // namespace

int CopyAttributes(const std::string& from, int to, bool (*wanted)(std::string_view)) {
    const ssize_t size = llistxattr(from.c_str(), nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : errno;
    std::vector<char> names(static_cast<std::size_t>(size));
    const ssize_t listed = llistxattr(from.c_str(), names.data(), names.size());
    if (listed < 0) return errno;
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        if (!wanted(name)) continue;
        const ssize_t length = lgetxattr(from.c_str(), name.c_str(), nullptr, 0);
        std::vector<char> value(static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
        if (length < 0 || lgetxattr(from.c_str(), name.c_str(), value.data(), value.size()) < 0) {
            return errno;
        }
        if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0 && errno != ENOTSUP &&
            (errno != EPERM || geteuid() == 0)) {
            return errno;
        }
    }
    return 0;
}

namespace {

std::string PrivateName() {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 random{std::random_device{}()};
    std::string name(kPrivatePrefix);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    while (name.size() < kPrivateNameLength) name.push_back(kLetters[pick(random)]);
    return name;
}

// A new private file in the folder that carries our lock from the moment it has a name, so
// that no other run takes it for a leftover. An unnamed file is given its name once locked;
// where the file system has no unnamed files, the lock follows at once.
int CreatePrivateFile(int folder, std::string& name) {
    const int unnamed = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(unnamed);
        if (flock(unnamed, LOCK_EX) == 0) {
            for (int attempt = 0; attempt < 100; ++attempt) {
                name = PrivateName();
                if (linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                    return unnamed;
                }
                if (errno != EEXIST) break;
            }
        }
        close(unnamed);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = PrivateName();
        const int fd =
            openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            flock(fd, LOCK_EX);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool IsPrivateName(std::string_view name) {
    return name.size() == kPrivateNameLength && name.starts_with(kPrivatePrefix);
}

// A leftover is one of our private files whose writer is gone: nobody holds its lock. A file
// that another run still writes is locked and stays.
void RemoveIfLeftOver(int folder, const char* name) {
    const Descriptor file(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.valid() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != geteuid() || info.st_nlink != 1) {
        return;
    }
    if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) return;
    struct stat named {};
    if (fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == info.st_ino &&
        named.st_dev == info.st_dev) {
        unlinkat(folder, name, 0);
    }
}

void RemoveLeftovers(int folder) {
    const int listing = dup(folder);
    DIR* entries = listing >= 0 ? fdopendir(listing) : nullptr;
    if (entries == nullptr) {
        if (listing >= 0) close(listing);
        return;
    }
    while (const dirent* entry = readdir(entries)) {
        if (IsPrivateName(entry->d_name)) RemoveIfLeftOver(folder, entry->d_name);
    }
    closedir(entries);
}

}  // namespace

int TakeOverMetadata(int out, int folder, const std::string& name, mode_t fallbackMode,
                     bool (*wanted)(std::string_view)) {
    struct stat old {};
    const bool exists = fstatat(folder, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return errno;
    if (!exists || !S_ISREG(old.st_mode)) return fchmod(out, fallbackMode & 0777U) == 0 ? 0 : errno;
    if (const int error = SetOwnerAndMode(out, old.st_uid, old.st_gid, old.st_mode); error != 0) {
        return error;
    }
    return CopyAttributes(AttributePath(folder, name), out,
                          wanted != nullptr ? wanted : KeptAttribute);
}

int SetOwnerAndMode(int fd, uid_t owner, gid_t group, mode_t mode) {
    // The owner first: changing it clears the set-user and set-group bits, which come next.
    if (fchown(fd, owner, group) != 0 && geteuid() == 0) return errno;
    return fchmod(fd, mode & 07777U) == 0 ? 0 : errno;
}

std::string AttributePath(int folder, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
}

int WriteAllAt(int fd, std::string_view bytes, off_t offset) {
    while (!bytes.empty()) {
        const ssize_t n =
            RetryOnInterrupt([&] { return pwrite(fd, bytes.data(), bytes.size(), offset); });
        if (n < 0) return errno;
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    }
    return 0;
}

int SyncFolder(const std::string& folder) {
    const Descriptor fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return errno;
    return fsync(fd.get()) == 0 ? 0 : errno;
}

int SyncFolderOf(const std::filesystem::path& file) { return SyncFolder(file.parent_path()); }

int ReplaceWithCopy(int source, mode_t mode, const std::filesystem::path& target) {
    const Descriptor folder(open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return errno;
    return ReplaceWithCopyAt(source, mode, folder.get(), target.filename());
}

int ReplaceWithCopyAt(int source, mode_t mode, int folder, const std::string& name) {
    RemoveLeftovers(folder);
    std::string privateName;
    const Descriptor out(CreatePrivateFile(folder, privateName));
    if (!out.valid()) return errno;
    int error = CopyContents(source, out.get());
    if (error == 0) error = TakeOverMetadata(out.get(), folder, name, mode);
    if (error == 0 && fsync(out.get()) != 0) error = errno;
    if (error == 0 && renameat(folder, privateName.c_str(), folder, name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(folder, privateName.c_str(), 0);
        return error;
    }
    return fsync(folder) == 0 ? 0 : errno;
}

}  // namespace pinfile::posix
