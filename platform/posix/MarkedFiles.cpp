#include "MarkedFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <memory>
#include <random>

#include "../StagedFile.h"
#include "FileIdentity.h"
#include "SystemCallTable.h"

namespace pinfile::posix {

namespace {

// Private files are named so that a later run can find the ones a killed run left behind: by
// the rule of staged names, with a prefix of their own and no tail.
constexpr std::string_view kPrivatePrefix = ".pinfile-";
constexpr StagedNameForm kPrivateNames{false, 6, 6, false, u8""};

// Random names meet an existing one rarely; this many meetings in a row mean that something
// answers EEXIST to every name, and the caller gets that error instead of a loop without end.
constexpr int kNameAttempts = 100;

}  // namespace

std::string UniqueName(std::string_view prefix, std::size_t letters) {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937 random{std::random_device{}()};
    std::string name(prefix);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    for (std::size_t i = 0; i < letters; ++i) name.push_back(kLetters[pick(random)]);
    return name;
}

std::string PrivateName() { return UniqueName(kPrivatePrefix, kPrivateNames.mostLetters); }

namespace {

bool IsPrivateName(std::string_view name) {
    return IsStagedFileName(name, kPrivatePrefix, kPrivateNames);
}

bool IsMarkedFor(int file, const std::string& journalId) {
    std::string mark(journalId.size() + 1, '\0');
    const ssize_t size = System().fgetxattr(file, kMarkAttribute, mark.data(), mark.size());
    return size >= 0 && mark.substr(0, static_cast<std::size_t>(size)) == journalId;
}

// A file that pinfile proves it made for this journal and whose writer is gone: one link,
// marked with the journal's identity, not the command's own source, and nobody holds its lock
// (a file that another run still writes is locked and stays). Its owner proves nothing either
// way: only root can set the mark, and a copy's private file takes the target's owner before
// it is named.
bool RemoveIfLeftOver(int folder, const char* name, const std::string& journalId,
                      const struct stat* keep) {
    const Descriptor file(
        System().openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kNoMode));
    struct stat info {};
    if (!file.valid() || System().fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_nlink != 1) {
        return false;
    }
    if (keep != nullptr && SameInode(*keep, info)) return false;
    return IsMarkedFor(file.get(), journalId) &&
           System().flock(file.get(), LOCK_EX | LOCK_NB) == 0 &&
           NameLeadsTo(folder, name, file.get()) && System().unlinkat(folder, name, 0) == 0;
}

// Closes a folder listing.
struct ListingCloser {
    void operator()(DIR* listing) const { closedir(listing); }
};

}  // namespace

Status LinkUnnamedFile(int file, int folder, const std::string& name) {
    if (System().linkat(file, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return {};
    if (errno == EEXIST) return LastError();
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    return Checked(
        System().linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW));
}

void RemoveLeftovers(int folder, const std::string& journalId, const NeededNames& needed,
                     int keep) {
    struct stat kept {};
    if (journalId.empty() || (keep >= 0 && System().fstat(keep, &kept) != 0)) return;
    Descriptor listing(System().dup(folder));
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
        System().fsetxattr(file, kMarkAttribute, journalId.data(), journalId.size(), 0);
    }
}

void RemoveMark(int file) { System().fremovexattr(file, kMarkAttribute); }

Status CreateUnnamedFile(int folder, const std::string& journalId, Descriptor& file) {
    file.reset(System().openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!file.valid()) return LastError();
    MarkAsPinfiles(file.get(), journalId);
    return Checked(System().flock(file.get(), LOCK_EX));
}

Status NameUnnamedFile(int folder, int file, const std::function<std::string()>& makeName,
                       std::string& name) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = makeName();
        const Status linked = LinkUnnamedFile(file, folder, name);
        if (linked.Succeeded() || linked.Code() != EEXIST) return linked;
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

Status CreateNamedLockedFile(int folder, const std::function<std::string()>& makeName,
                             std::string& name, Descriptor& file) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = makeName();
        file.reset(System().openat(folder, name.c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.valid()) {
            System().flock(file.get(), LOCK_EX);
            return {};
        }
        if (errno != EEXIST) return LastError();
    }
    return Status(EEXIST);
}

}  // namespace pinfile::posix
