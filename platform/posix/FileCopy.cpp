#include "FileCopy.h"

#include <fcntl.h>
#include <linux/fs.h>  // FICLONE
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace pinfile::posix {

namespace {

// The byte copy for when the kernel cannot share or copy the extents itself.
int CopyByReading(int from, int to) {
    std::vector<char> buffer(1U << 17U);
    for (;;) {
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t written =
                write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) return errno;
            done += written;
        }
    }
}

// Copies the whole contents in the kernel: a reflink where the file system shares extents,
// else copy_file_range, else plain reads and writes.
int CopyContents(int from, int to) {
    if (ioctl(to, FICLONE, from) == 0) return 0;
    bool copiedAny = false;
    for (;;) {
        const ssize_t n = copy_file_range(from, nullptr, to, nullptr, 1U << 30U, 0);
        if (n > 0) {
            copiedAny = true;
            continue;
        }
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        if (copiedAny ||
            (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL)) {
            return errno;
        }
        return CopyByReading(from, to);
    }
}

}  // namespace

int SyncFolderOf(const std::filesystem::path& file) {
    const Descriptor folder(open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return errno;
    return fsync(folder.get()) == 0 ? 0 : errno;
}

int ReplaceWithCopy(int source, mode_t mode, const std::filesystem::path& target) {
    std::string pattern = (target.parent_path() / ".pinfile-XXXXXX").string();
    const Descriptor out(mkstemp(pattern.data()));
    if (!out.valid()) return errno;
    int error = CopyContents(source, out.get());
    if (error == 0 && fchmod(out.get(), mode & 0777U) != 0) error = errno;
    if (error == 0 && fsync(out.get()) != 0) error = errno;
    if (error == 0 && rename(pattern.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(pattern.c_str());
        return error;
    }
    return SyncFolderOf(target);
}

}  // namespace pinfile::posix
