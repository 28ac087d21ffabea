#include "FileCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>  // BTRFS_IOC_GET_SUBVOL_INFO
#include <linux/fs.h>     // FICLONE
#include <linux/magic.h>  // BTRFS_SUPER_MAGIC
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "../StagedFile.h"

namespace pinfile::posix {

namespace {

// Private files are named so that a later run can find the ones a killed run left behind: by
// the rule of staged names, with a prefix of their own and no tail.
constexpr std::string_view kPrivatePrefix = ".pinfile-";
constexpr StagedNameForm kPrivateNames{false, 6, 6, false, u8""};

// A source that changed while it was copied gives no copy: the copy would be neither the old
// contents nor the new. The code tells the user to try again.
constexpr ErrorCode kSourceChanged = EAGAIN;

// The contents are the same as far as size and modification time tell. The change time is left
// out: it moves with the metadata alone (a chmod, a new hard link), which the copy does not take.
bool SameContentsTime(const struct stat& before, const struct stat& after) {
    return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
}

// A stretch that runs to wherever the source ends.
constexpr off_t kToTheEnd = std::numeric_limits<off_t>::max();

// The byte copy of a stretch, for when the kernel cannot copy the extents itself. It ends at
// end or where a read finds the source's end, if that comes first; reached tells where.
Status CopyByReading(int from, int to, off_t start, off_t end, off_t& reached) {
    std::vector<char> buffer(1U << 17U);
    for (reached = start; reached < end;) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(end - reached, 1 << 17));
        const ssize_t n =
            RetryOnInterrupt([&] { return pread(from, buffer.data(), want, reached); });
        if (n <= 0) return n < 0 ? LastError() : Status();
        const std::string_view read(buffer.data(), static_cast<std::size_t>(n));
        if (const Status written = WriteAllAt(to, read, reached); written.Failed()) return written;
        reached += n;
    }
    return {};
}

// One stretch of data in the kernel (copy_file_range), else by reading, which also tells
// whether a stretch that the kernel ends early really ends there: pseudo-files (procfs) give
// their data to reads alone.
Status CopyStretch(int from, int to, off_t start, off_t end, off_t& reached) {
    off_t in = start;
    off_t out = start;
    while (in < end) {
        const auto want = static_cast<std::size_t>(end - in);
        const ssize_t n =
            RetryOnInterrupt([&] { return copy_file_range(from, &in, to, &out, want, 0); });
        if (n > 0) continue;
        if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
            return LastError();
        }
        return CopyByReading(from, to, in, end, reached);
    }
    reached = in;
    return {};
}

// A reflink where the file system shares extents, else stretch by stretch of data, so that
// holes stay holes and a sparse file stays sparse. Reached tells where the data ended: at the
// size, or earlier where the source ended sooner.
Status CopyExtents(int from, int to, off_t size, off_t& reached) {
    reached = size;
    if (ioctl(to, FICLONE, from) == 0) return {};
    for (off_t position = 0; position < size;) {
        off_t data = lseek(from, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // only a hole is left
        if (data < 0) data = position;          // no hole finding here: all of it is data
        off_t hole = lseek(from, data, SEEK_HOLE);
        if (hole < 0 || hole > size) hole = size;
        const Status copied = CopyStretch(from, to, data, hole, reached);
        if (copied.Failed() || reached < hole) return copied;
        position = hole;
    }
    reached = size;
    return {};
}

}  // namespace

// Copies to the source's end, as cp does: where the size tells nothing (procfs tells 0, sysfs a
// page), what the reads give is the file. Checked before and after: a source whose contents
// changed meanwhile (cut, appended to, rewritten) gives an error, not a padded, partial or mixed
// copy.
Status CopyContents(int from, int to) {
    struct stat before {};
    if (fstat(from, &before) != 0) return LastError();
    off_t reached = 0;
    Status status = CopyExtents(from, to, before.st_size, reached);
    if (status.Succeeded() && reached == before.st_size) {
        status = CopyByReading(from, to, reached, kToTheEnd, reached);
    }
    if (status.Succeeded()) status = Checked(ftruncate(to, reached));
    struct stat after {};
    if (status.Succeeded() && fstat(from, &after) != 0) status = LastError();
    if (status.Succeeded() && !SameContentsTime(before, after)) status = Status(kSourceChanged);
    return status;
}

bool KeptAttribute(std::string_view name) {
    return name != "security.capability" && name != kMarkAttribute;
}

namespace {

// The folder's own name in /proc reaches the file without opening it, so that a file that the
// user may not read keeps its ACL too. Without /proc (a chroot, an image build) the file is
// opened for reading, as root always may, and asked through its descriptor.
template <typename ByPath, typename ByFile>
ssize_t AttributeCall(const AttributeSource& file, ByPath byPath, ByFile byFile) {
    const std::string path = "/proc/self/fd/" + std::to_string(file.folder) + "/" + file.name;
    const ssize_t result = byPath(path.c_str());
    const int error = errno;
    if (result >= 0 || error != ENOENT || access("/proc/self/fd", F_OK) == 0) {
        errno = error;
        return result;
    }
    const Descriptor opened(openat(file.folder, file.name.c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return opened.valid() ? byFile(opened.get()) : -1;
}

ssize_t GetAttribute(const AttributeSource& file, const char* name, char* value, std::size_t size) {
    return AttributeCall(
        file, [&](const char* path) { return lgetxattr(path, name, value, size); },
        [&](int fd) { return fgetxattr(fd, name, value, size); });
}

ssize_t ListAttributes(const AttributeSource& file, char* names, std::size_t size) {
    return AttributeCall(
        file, [&](const char* path) { return llistxattr(path, names, size); },
        [&](int fd) { return flistxattr(fd, names, size); });
}

}  // namespace

Status ReadAttribute(const AttributeSource& file, const char* name, std::string& value) {
    value.clear();
    // The value may grow between asking its size and reading it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = GetAttribute(file, name, nullptr, 0);
        if (size < 0) return errno == ENODATA || errno == ENOTSUP ? Status() : LastError();
        value.resize(static_cast<std::size_t>(size));
        const ssize_t read = GetAttribute(file, name, value.data(), value.size());
        if (read >= 0) {
            value.resize(static_cast<std::size_t>(read));
            return {};
        }
        if (errno != ERANGE) return LastError();
    }
    return Status(ERANGE);
}

Status CopyAttributes(const AttributeSource& from, int to, bool (*wanted)(std::string_view)) {
    const ssize_t size = ListAttributes(from, nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? Status() : LastError();
    std::vector<char> names(static_cast<std::size_t>(size));
    const ssize_t listed = ListAttributes(from, names.data(), names.size());
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

// A UUID folded to the 64 bits that a record keeps of it.
std::uint64_t Folded(const std::uint8_t* uuid, std::size_t length) {
    std::uint64_t folded = 0;
    for (std::size_t i = 0; i < length; ++i) {
        folded ^= static_cast<std::uint64_t>(uuid[i]) << (8 * (i % 8));
    }
    return folded;
}

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
    return Folded(answer.uuid, std::min<std::size_t>(answer.length, sizeof answer.uuid));
}

// The UUID of the btrfs subvolume that holds the file, folded; 0 on other file systems. A
// snapshot has the inodes and birth times of its subvolume, and a device number of its own
// only until the next boot: after that, this UUID alone tells the two apart. Any user may ask.
std::uint64_t SubvolumeOf(int fd) {
    struct statfs system {};
    if (fstatfs(fd, &system) != 0 || system.f_type != BTRFS_SUPER_MAGIC) return 0;
    btrfs_ioctl_get_subvol_info_args info{};
    // A success may be answered with 1.
    if (ioctl(fd, BTRFS_IOC_GET_SUBVOL_INFO, &info) < 0) return 0;
    return Folded(info.uuid, sizeof info.uuid);
}

// The kernel's random identity of this boot, folded; 0 where it cannot be read. Device
// numbers hold within one boot, so a record keeps the boot it saw them in.
std::uint64_t ReadCurrentBoot() {
    std::string text = ReadBootId();
    std::erase(text, '-');
    std::array<std::uint8_t, 16> uuid{};
    if (text.size() != 2 * uuid.size()) return 0;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const char* pair = text.data() + 2 * i;
        if (std::from_chars(pair, pair + 2, uuid[i], 16).ptr != pair + 2) return 0;
    }
    return Folded(uuid.data(), uuid.size());
}

}  // namespace

std::string ReadBootId() {
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    return id;
}

Status IdentityOf(int fd, FileIdentity& identity) {
    struct statx info {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
        return LastError();
    }
    static const std::uint64_t currentBoot = ReadCurrentBoot();
    identity.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    identity.boot = currentBoot;
    identity.volume = VolumeOf(fd);
    identity.subvolume = SubvolumeOf(fd);
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

// Gives an unnamed file a name in the folder. Linking the descriptor itself needs no /proc,
// which chroots and image builds often lack, but wants root (CAP_DAC_READ_SEARCH); other users
// link it through its name in /proc.
int LinkUnnamedFile(int file, int folder, const std::string& name) {
    if (linkat(file, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    if (errno == EEXIST) return -1;
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    return linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW);
}

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
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = makeName();
        if (LinkUnnamedFile(file, folder, name) == 0) return {};
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
    return CopyAttributes(AttributesOf(folder, name), out,
                          wanted != nullptr ? wanted : KeptAttribute);
}

Status SetOwnerAndMode(int fd, uid_t owner, gid_t group, mode_t mode) {
    // The owner first: changing it clears the set-user and set-group bits, which come next.
    if (fchown(fd, owner, group) != 0 && geteuid() == 0) return LastError();
    return Checked(fchmod(fd, mode & 07777U));
}

AttributeSource AttributesOf(int folder, const std::string& name) { return {folder, name}; }

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
