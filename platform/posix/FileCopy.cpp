#include "FileCopy.h"

#include <fcntl.h>
#include <linux/fs.h>  // FICLONE
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace pinfile::posix {

namespace {

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

// The byte copy reads this much at a time: few calls for a large file, and a buffer that is
// small beside what a copy costs anyway (128 KiB, the size cp reads in).
constexpr std::size_t kCopyChunk = std::size_t{128} * 1024;

// The byte copy of a stretch, for when the kernel cannot copy the extents itself. It ends at
// end or where a read finds the source's end, if that comes first; reached tells where.
Status CopyByReading(int from, int to, off_t start, off_t end, off_t& reached) {
    std::vector<char> buffer(kCopyChunk);
    for (reached = start; reached < end;) {
        const auto want = static_cast<std::size_t>(
            std::min<off_t>(end - reached, static_cast<off_t>(kCopyChunk)));
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
    // The value may grow between asking its size and reading it; a value that keeps growing
    // through this many tries is being rewritten all the time, and ERANGE is the answer.
    constexpr int kAttempts = 8;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
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
