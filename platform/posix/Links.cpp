#include "Links.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <vector>

#include "../UtilityLibrary.h"
#include "FileIdentity.h"

namespace pinfile::posix {

namespace {

// fs.protected_symlinks as the kernel has it now. A setting that cannot be read counts as on,
// as Debian and systemd set it: a link refused wrongly costs a copy that can still be made by
// the file's own name, a link followed wrongly may cost a file of root's.
bool LinksProtected() {
    std::ifstream setting("/proc/sys/fs/protected_symlinks");
    int value = 0;
    return !(setting >> value) || value != 0;
}

// Refuses the link that the name in the folder holds when the kernel would not follow it.
Status CheckFollowable(int folder, const struct stat& link) {
    struct stat held {};
    if (fstat(folder, &held) != 0) return LastError();
    return MayFollowLink(LinksProtected(), geteuid(), link.st_uid, held.st_mode, held.st_uid)
               ? Status()
               : Status(EACCES);
}

// The kernel follows at most this many links for one name (MAXSYMLINKS, which no header
// outside the kernel gives) before it answers ELOOP; pinfile follows as many.
constexpr int kMaxLinkHops = 40;

// Follows the name while it is a symbolic link, as the kernel would for this process; the
// folders on the way are the kernel's to resolve.
Status FollowLinksAt(NameAt& at) {
    for (int hops = 0; hops < kMaxLinkHops; ++hops) {
        struct stat info {};
        if (fstatat(at.folder.get(), at.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT ? Status() : LastError();
        }
        if (!S_ISLNK(info.st_mode)) return {};
        if (const Status may = CheckFollowable(at.folder.get(), info); may.Failed()) return may;
        std::vector<char> link(static_cast<std::size_t>(info.st_size) + 2);
        const ssize_t length =
            readlinkat(at.folder.get(), at.name.c_str(), link.data(), link.size());
        if (length < 0) return LastError();
        if (static_cast<std::size_t>(length) >= link.size()) return Status(ENAMETOOLONG);
        const std::string leads(link.data(), static_cast<std::size_t>(length));
        const std::size_t slash = leads.rfind('/');
        const std::string name = slash == std::string::npos ? leads : leads.substr(slash + 1);
        if (name.empty()) return Status(EISDIR);
        if (slash != std::string::npos) {
            // Relative to the link's own folder; an absolute one from the root.
            const std::string folder = slash == 0 ? "/" : leads.substr(0, slash);
            Descriptor next(
                openat(at.folder.get(), folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!next.valid()) return LastError();
            at.folder = std::move(next);
        }
        at.name = name;
    }
    return Status(ELOOP);
}

// The name that the kernel gives for the opened folder, read from its /proc link or, where
// /proc is missing (a chroot, an image build), asked with getcwd while the process stands in
// the folder for a moment.
Status KernelsNameOf(int folder, std::string& named) {
    std::vector<char> path(PATH_MAX);
    const std::string self = "/proc/self/fd/" + std::to_string(folder);
    const ssize_t length = readlink(self.c_str(), path.data(), path.size());
    if (length >= 0) {
        if (static_cast<std::size_t>(length) >= path.size()) return Status(ENAMETOOLONG);
        named.assign(path.data(), static_cast<std::size_t>(length));
        return {};
    }
    if (errno != ENOENT) return LastError();
    const Descriptor working(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!working.valid() || fchdir(folder) != 0) return LastError();
    const bool found = getcwd(path.data(), path.size()) != nullptr;
    const Status status = found ? Status() : LastError();
    if (fchdir(working.get()) != 0) return LastError();
    if (found) named = path.data();
    return status;
}

}  // namespace

Status OpenNameAt(TextView path, NameAt& at) {
    at.name = ulGetFileName(path);
    if (at.name.empty()) return Status(EISDIR);
    return OpenFolder(FolderOf(path), at.folder);
}

Status OpenCopyTarget(TextView target, NameAt& at) {
    const Status opened = OpenNameAt(target, at);
    return opened.Failed() ? opened : FollowLinksAt(at);
}

bool MayFollowLink(bool linksProtected, uid_t follower, uid_t linkOwner, mode_t folderMode,
                   uid_t folderOwner) {
    constexpr mode_t kShared = S_ISVTX | S_IWOTH;  // sticky, and anyone may write
    return !linksProtected || linkOwner == follower || (folderMode & kShared) != kShared ||
           linkOwner == folderOwner;
}

Status CanonicalName(int folder, const std::string& name, std::string& canonical) {
    std::string named;
    if (const Status found = KernelsNameOf(folder, named); found.Failed()) return found;
    // A folder removed meanwhile, or one outside this process's root, has no name that leads to
    // it.
    struct stat held {};
    struct stat found {};
    if (fstat(folder, &held) != 0) return LastError();
    if (!named.starts_with('/') || stat(named.c_str(), &found) != 0 || !SameInode(found, held)) {
        return Status(ESTALE);
    }
    canonical = (named == "/" ? named : named + "/") + name;
    return {};
}

Status QueuedTarget(TextView target, std::string& queued) {
    NameAt at;
    const Status opened = OpenCopyTarget(target, at);
    return opened.Failed() ? opened : CanonicalName(at.folder.get(), at.name, queued);
}

Status QueuedEntry(TextView name, std::string& queued) {
    NameAt at;
    const Status opened = OpenNameAt(name, at);
    if (opened.Failed()) return opened;
    if (at.name == "." || at.name == "..") return Status(EISDIR);
    return CanonicalName(at.folder.get(), at.name, queued);
}

}  // namespace pinfile::posix
