#include "FileCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>  // FICLONE
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../FileSystem.h"

namespace pinfile::posix {

namespace {

// Private files are named so that a later run can find the ones a killed run left behind: by
// the rule of staged names, with a prefix of their own and no tail.
constexpr std::string_view kPrivatePrefix = ".pinfile-";
constexpr StagedNameForm kPrivateNames{false, 6, 6, false, u8""};

// A source that changed while it was copied gives no copy: the copy would be neither the old
// contents nor the new. The code tells the user to try again.
constexpr ErrorCode kSourceChanged = EAGAIN;

bool SameContentsTime(const struct stat& before, const struct stat& after) {
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec &&
           before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
           before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// The byte copy of one stretch, for when the kernel cannot copy the extents itself.
Status CopyByReading(int from, int to, off_t start, off_t end) {
    std::vector<char> buffer(1U << 17U);
    while (start < end) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(end - start, 1 << 17));
        const ssize_t n = RetryOnInterrupt([&] { return pread(from, buffer.data(), want, start); });
        if (n <= 0) return n < 0 ? LastError() : Status(kSourceChanged);
        const std::string_view read(buffer.data(), static_cast<std::size_t>(n));
        if (const Status written = WriteAllAt(to, read, start); written.Failed()) return written;
        start += n;
    }
    return {};
}

// One stretch of data in the kernel (copy_file_range), else by reading.
Status CopyStretch(int from, int to, off_t start, off_t end) {
    off_t in = start;
    off_t out = start;
    while (in < end) {
        const auto want = static_cast<std::size_t>(end - in);
        const ssize_t n =
            RetryOnInterrupt([&] { return copy_file_range(from, &in, to, &out, want, 0); });
        if (n > 0) continue;
        if (n == 0) return Status(kSourceChanged);  // the source ended early: cut meanwhile
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
            return LastError();
        }
        return CopyByReading(from, to, in, end);
    }
    return {};
}

// A reflink where the file system shares extents, else stretch by stretch of data, so that
// holes stay holes and a sparse file stays sparse.
Status CopyExtents(int from, int to, off_t size) {
    if (ioctl(to, FICLONE, from) == 0) return {};
    for (off_t position = 0; position < size;) {
        off_t data = lseek(from, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // only a hole is left
        if (data < 0) data = position;          // no hole finding here: all of it is data
        off_t hole = lseek(from, data, SEEK_HOLE);
        if (hole < 0 || hole > size) hole = size;
        if (const Status copied = CopyStretch(from, to, data, hole); copied.Failed()) return copied;
        position = hole;
    }
    return Checked(ftruncate(to, size));
}

}  // namespace

// Checked before and after: a source that changed meanwhile (cut, appended to, rewritten)
// gives an error, not a padded, partial or mixed copy.
Status CopyContents(int from, int to) {
    struct stat before {};
    if (fstat(from, &before) != 0) return LastError();
    Status status = CopyExtents(from, to, before.st_size);
    struct stat after {};
    if (status.Succeeded() && fstat(from, &after) != 0) status = LastError();
    if (status.Succeeded() && !SameContentsTime(before, after)) status = Status(kSourceChanged);
    return status;
}

bool KeptAttribute(std::string_view name) {
    return name != "security.capability" && name != kMarkAttribute;
}

Status ReadAttribute(const std::string& path, const char* name, std::string& value) {
    value.clear();
    // The value may grow between asking its size and reading it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = lgetxattr(path.c_str(), name, nullptr, 0);
        if (size < 0) return errno == ENODATA || errno == ENOTSUP ? Status() : LastError();
        value.resize(static_cast<std::size_t>(size));
        const ssize_t read = lgetxattr(path.c_str(), name, value.data(), value.size());
        if (read >= 0) {
            value.resize(static_cast<std::size_t>(read));
            return {};
        }
        if (errno != ERANGE) return LastError();
    }
    return Status(ERANGE);
}

Status CopyAttributes(const std::string& from, int to, bool (*wanted)(std::string_view)) {
    const ssize_t size = llistxattr(from.c_str(), nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? Status() : LastError();
    std::vector<char> names(static_cast<std::size_t>(size));
    const ssize_t listed = llistxattr(from.c_str(), names.data(), names.size());
    if (listed < 0) return LastError();
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        if (!wanted(name)) continue;
        std::string value;
        if (const Status read = ReadAttribute(from, name.c_str(), value); read.Failed()) {
            return read;
        }
        if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0 && errno != ENOTSUP &&
            (errno != EPERM || geteuid() == 0)) {
            return LastError();
        }
    }
    return {};
}

namespace {

// The UUID that the file system keeps in its superblock, folded to 64 bits; 0 where it has
// none or the kernel cannot tell it (before Linux 6.5).
struct FileSystemUuid {
    std::uint8_t length;
    std::uint8_t uuid[16];
};
constexpr unsigned long kGetFileSystemUuid = _IOR(0x15, 0, FileSystemUuid);  // FS_IOC_GETFSUUID

std::uint64_t VolumeOf(int fd) {
    FileSystemUuid answer{};
    if (ioctl(fd, kGetFileSystemUuid, &answer) != 0) return 0;
    std::uint64_t folded = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(answer.length, sizeof answer.uuid); ++i) {
        folded ^= static_cast<std::uint64_t>(answer.uuid[i]) << (8 * (i % 8));
    }
    return folded;
}

}  // namespace

Status IdentityOf(int fd, FileIdentity& identity) {
    struct statx info {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
        return LastError();
    }
    identity.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    identity.volume = VolumeOf(fd);
    identity.inode = info.stx_ino;
    const bool born = (info.stx_mask & STATX_BTIME) != 0;
    identity.bornSeconds = born ? info.stx_btime.tv_sec : 0;
    identity.bornNanoseconds = born ? info.stx_btime.tv_nsec : 0;
    identity.owner = info.stx_uid;
    identity.size = info.stx_size;
    identity.modifiedSeconds = info.stx_mtime.tv_sec;
    identity.modifiedNanoseconds = info.stx_mtime.tv_nsec;
    return {};
}

std::string UniqueName(std::string_view prefix, std::size_t letters) {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 random{std::random_device{}()};
    std::string name(prefix);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (std::size_t i = 0; i < letters; ++i) name.push_back(kLetters[pick(random)]);
    return name;
}

namespace {

std::string PrivateName() { return UniqueName(kPrivatePrefix, kPrivateNames.mostLetters); }

bool IsPrivateName(std::string_view name) {
    return IsStagedFileName(name, kPrivatePrefix, kPrivateNames);
}

bool IsMarkedFor(int file, const std::string& journalId) {
    std::string mark(journalId.size() + 1, '\0');
    const ssize_t size = fgetxattr(file, kMarkAttribute, mark.data(), mark.size());
    return size >= 0 && mark.substr(0, static_cast<std::size_t>(size)) == journalId;
}

// A file that pinfile proves it made for this journal and whose writer is gone: root's, one
// link, marked with the journal's identity, not the command's own source, and nobody holds
// its lock (a file that another run still writes is locked and stays).
bool RemoveIfLeftOver(int folder, const char* name, const std::string& journalId,
                      const struct stat* keep) {
    const Descriptor file(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.valid() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != 0 || info.st_nlink != 1) {
        return false;
    }
    if (keep != nullptr && keep->st_dev == info.st_dev && keep->st_ino == info.st_ino) return false;
    return IsMarkedFor(file.get(), journalId) && flock(file.get(), LOCK_EX | LOCK_NB) == 0 &&
           NameLeadsTo(folder, name, file.get()) && unlinkat(folder, name, 0) == 0;
}

// Closes a folder listing.
struct ListingCloser {
    void operator()(DIR* listing) const { closedir(listing); }
};

// Made at once under its name, where the file system has no unnamed files: unmarked, and
// locked right after.
Status CreateNamedLockedFile(int folder, const std::function<std::string()>& makeName,
                             std::string& name, Descriptor& file) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = makeName();
        file.reset(
            openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.valid()) {
            flock(file.get(), LOCK_EX);
            return {};
        }
        if (errno != EEXIST) return LastError();
    }
    return Status(EEXIST);
}

}  // namespace

void RemoveLeftovers(int folder, const std::string& journalId, const NeededNames& needed,
                     int keep) {
    struct stat kept {};
    if (journalId.empty() || (keep >= 0 && fstat(keep, &kept) != 0)) return;
    Descriptor listing(dup(folder));
    const std::unique_ptr<DIR, ListingCloser> entries(listing.valid() ? fdopendir(listing.get())
                                                                      : nullptr);
    if (!entries) return;
    listing.release();  // the listing closes it now
    // The copy of the descriptor shares its place in the folder with the original, which an
    // earlier listing may have left at the end.
    rewinddir(entries.get());
    const Text stagedPrefix = FromUtf8(kStagedPrefix);
    const struct stat* source = keep >= 0 ? &kept : nullptr;
    bool removed = false;
    while (const dirent* entry = readdir(entries.get())) {
        const std::string_view name(entry->d_name);
        const bool unneeded =
            IsStagedFileName(name, stagedPrefix) && !needed.contains(std::string(name));
        if ((IsPrivateName(name) || unneeded) &&
            RemoveIfLeftOver(folder, entry->d_name, journalId, source)) {
            removed = true;
        }
    }
    if (removed) SyncFolder(folder).Ignore();
}

void MarkAsPinfiles(int file, const std::string& journalId) {
    if (!journalId.empty()) {
        fsetxattr(file, kMarkAttribute, journalId.data(), journalId.size(), 0);
    }
}

void RemoveMark(int file) { fremovexattr(file, kMarkAttribute); }

Status CreateUnnamedFile(int folder, const std::string& journalId, Descriptor& file) {
    file.reset(openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!file.valid()) return LastError();
    MarkAsPinfiles(file.get(), journalId);
    return Checked(flock(file.get(), LOCK_EX));
}

Status NameUnnamedFile(int folder, int file, const std::function<std::string()>& makeName,
                       std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = makeName();
        if (linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return {};
        }
        if (errno != EEXIST) return LastError();
    }
    return Status(EEXIST);
}

Status CreateLockedFile(int folder, const std::function<std::string()>& makeName,
                        const std::string& journalId, std::string& name, Descriptor& file) {
    if (CreateUnnamedFile(folder, journalId, file).Succeeded() &&
        NameUnnamedFile(folder, file.get(), makeName, name).Succeeded()) {
        return {};
    }
    return CreateNamedLockedFile(folder, makeName, name, file);
}

bool NameLeadsTo(int folder, const std::string& name, int file) {
    struct stat opened {};
    struct stat named {};
    return fstat(file, &opened) == 0 &&
           fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

Status TakeOverMetadata(int out, int folder, const std::string& name, mode_t fallbackMode,
                        bool (*wanted)(std::string_view)) {
    struct stat old {};
    const bool exists = fstatat(folder, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return LastError();
    if (!exists || !S_ISREG(old.st_mode)) return Checked(fchmod(out, fallbackMode & 0777U));
    const Status owned = SetOwnerAndMode(out, old.st_uid, old.st_gid, old.st_mode);
    if (owned.Failed()) return owned;
    return CopyAttributes(AttributePath(folder, name), out,
                          wanted != nullptr ? wanted : KeptAttribute);
}

Status SetOwnerAndMode(int fd, uid_t owner, gid_t group, mode_t mode) {
    // The owner first: changing it clears the set-user and set-group bits, which come next.
    if (fchown(fd, owner, group) != 0 && geteuid() == 0) return LastError();
    return Checked(fchmod(fd, mode & 07777U));
}

std::string AttributePath(int folder, const std::string& name) {
    return "/proc/self/fd/" + std::to_string(folder) + "/" + name;
}

Status WriteAllAt(int fd, std::string_view bytes, off_t offset) {
    while (!bytes.empty()) {
        const ssize_t n =
            RetryOnInterrupt([&] { return pwrite(fd, bytes.data(), bytes.size(), offset); });
        if (n < 0) return LastError();
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    }
    return {};
}

Status ReplaceWithCopy(int source, mode_t mode, const std::filesystem::path& target,
                       const std::string& journalId) {
    Descriptor folder;
    const Status opened = OpenFolder(target.parent_path(), folder);
    return opened.Failed()
               ? opened
               : ReplaceWithCopyAt(source, mode, folder.get(), target.filename(), journalId);
}

Status ReplaceWithCopyAt(int source, mode_t mode, int folder, const std::string& name,
                         const std::string& journalId) {
    const auto fill = [&](int file) {
        const Status copied = CopyContents(source, file);
        return copied.Failed() ? copied : TakeOverMetadata(file, folder, name, mode);
    };
    std::string privateName;
    Descriptor out;
    Status status;
    if (CreateUnnamedFile(folder, journalId, out).Succeeded()) {
        // Filled while it has no name: what a kill meanwhile leaves, the system removes.
        status = fill(out.get());
        if (status.Succeeded())
            status = NameUnnamedFile(folder, out.get(), PrivateName, privateName);
        if (status.Succeeded()) {
            status = ReplaceDurably(folder, privateName, out.get(), name,
                                    [](int /*filled already*/) { return Status(); });
        }
    } else {
        status = CreateNamedLockedFile(folder, PrivateName, privateName, out);
        if (status.Succeeded()) status = ReplaceDurably(folder, privateName, out.get(), name, fill);
    }
    if (status.Succeeded()) RemoveMark(out.get());
    return status;
}

}  // namespace pinfile::posix
