#include "../FileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "FileCopy.h"
#include "Locations.h"
#include "QueuedNames.h"
#include "RestartJournal.h"

namespace pinfile {

namespace {

namespace fs = std::filesystem;
using posix::Descriptor;
using posix::ReplaceWithCopy;
using posix::SyncFolderOf;

FileCallResult CallResult(int error, bool inUse = false) { return {error, inUse}; }

enum class Hold { Free, Held, Unknown };

// Another process holds an advisory lock on the open file: a flock, or an fcntl lock on any
// part of it. On success our own flock stays on the file until the descriptor closes, so
// that nobody takes one while we replace or delete it.
bool HeldByAnotherProcess(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK;
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_GETLK, &query) != 0) return false;
    return query.l_type != F_UNLCK;
}

// The kernel's table of locks names every locked file by device and inode, and anyone may
// read it: the test for a file that we may replace but not open.
Hold HeldInLockTable(const struct stat& file) {
    std::ifstream table("/proc/locks");
    if (!table) return Hold::Unknown;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        for (std::string field; fields >> field;) {
            if (field == wanted) return Hold::Held;
        }
    }
    return table.bad() ? Hold::Unknown : Hold::Free;
}

// Whether another process holds the named file. A file that cannot be opened to ask is
// looked up in the lock table; when even that cannot tell, it counts as held, because
// replacing or deleting a file that another process holds is what must never happen.
Hold HoldOn(const char* path, int openFlags, Descriptor& opened) {
    opened.reset(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | openFlags));
    if (opened.valid()) return HeldByAnotherProcess(opened.get()) ? Hold::Held : Hold::Free;
    if (errno != EACCES && errno != EPERM) return Hold::Free;
    struct stat info {};
    if (stat(path, &info) != 0) return Hold::Free;
    return HeldInLockTable(info);
}

// Best effort: the flag that tells administrators and their tools that a restart is due,
// and the line that names pinfile as the package that wants it.
void MarkRestartRequired() {
    const std::string folder = posix::RunFolder();
    mkdir(folder.c_str(), 0755);
    const Descriptor flag(open((folder + "/reboot-required").c_str(),
                               O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    const std::string packages = folder + "/reboot-required.pkgs";
    std::ifstream existing(packages);
    for (std::string line; std::getline(existing, line);) {
        if (line == "pinfile") return;
    }
    const Descriptor list(
        open(packages.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (list.valid()) [[maybe_unused]]
        const ssize_t ignored = write(list.get(), "pinfile\n", 8);
}

posix::FileIdentity IdentityOf(const struct stat& info) {
    return {info.st_dev,         info.st_ino,
            info.st_uid,         static_cast<std::uint64_t>(info.st_size),
            info.st_mtim.tv_sec, static_cast<std::uint32_t>(info.st_mtim.tv_nsec)};
}

int FolderIdentity(const std::string& name, posix::FileIdentity& identity) {
    struct stat info {};
    if (stat(posix::FolderOf(name).c_str(), &info) != 0) return errno;
    identity = IdentityOf(info);
    return 0;
}

// Every extended attribute but the access ACL, which could let others write the staged file
// while it waits, and a capability, which belongs to the old program.
bool StagedAttribute(std::string_view name) {
    return name != "security.capability" && name != "system.posix_acl_access";
}

// Makes the staged file what an immediate copy would put in place, as far as it may be while
// it waits: the target's attributes and permission bits, but owned by root, without set-id
// bits and writable by nobody else, or it could be changed under a replacement that root
// carries out. The record keeps the target's owner, group and mode for the boot. Returns the
// staged file as the boot will check it.
int PrepareStagedFile(posix::JournalRecord& record) {
    const Descriptor file(open(record.first.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat target {};
    if (!file.valid() || lstat(record.second.c_str(), &target) != 0) return errno;
    record.targetOwner = target.st_uid;
    record.targetGroup = target.st_gid;
    record.targetMode = target.st_mode & 07777U;
    if (fchmod(file.get(), target.st_mode & 0755U) != 0) return errno;
    if (const int error = posix::CopyAttributes(record.second, file.get(), StagedAttribute);
        error != 0) {
        return error;
    }
    struct stat info {};
    if (fsync(file.get()) != 0 || fstat(file.get(), &info) != 0) return errno;
    record.staged = IdentityOf(info);
    return 0;
}

int Queue(const posix::JournalRecord& record) {
    posix::Journal journal;
    int error = journal.Open(posix::JournalPath(), true);
    if (error == 0) error = journal.Append(record);
    if (error == 0) MarkRestartRequired();
    return error;
}

}  // namespace

bool FindEntry(TextView name) {
    struct stat info {};
    return !name.empty() && lstat(Text(name).c_str(), &info) == 0;
}

bool NamesMatch(TextView first, TextView second) { return first == second; }

bool SameFile(TextView first, TextView second) {
    struct stat a {};
    struct stat b {};
    if (first.empty() || second.empty()) return false;
    if (stat(Text(first).c_str(), &a) != 0 || stat(Text(second).c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

FileCallResult CopyFileNow(TextView source, TextView target) {
    // Never read a FIFO or device forever: only a regular file is a source.
    const Descriptor in(open(Text(source).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in.valid()) return CallResult(errno);
    struct stat sourceInfo {};
    if (fstat(in.get(), &sourceInfo) != 0) return CallResult(errno);
    if (S_ISDIR(sourceInfo.st_mode)) return CallResult(EISDIR);
    if (!S_ISREG(sourceInfo.st_mode)) return CallResult(EINVAL);

    int resolveError = 0;
    const fs::path resolved = posix::QueuedTarget(target, resolveError);
    if (resolveError != 0) return CallResult(resolveError);
    // Only a regular file is replaced: a FIFO, socket or device is no file to put in place.
    struct stat targetInfo {};
    if (stat(resolved.c_str(), &targetInfo) == 0 && !S_ISREG(targetInfo.st_mode)) {
        return CallResult(S_ISDIR(targetInfo.st_mode) ? EISDIR : EINVAL);
    }

    // A target that another process has locked is in use; ours keeps it until we are done.
    Descriptor existing(-1);
    if (HoldOn(resolved.c_str(), 0, existing) != Hold::Free) return CallResult(EBUSY, true);

    return CallResult(ReplaceWithCopy(in.get(), sourceInfo.st_mode, resolved));
}

FileCallResult DeleteFileNow(TextView name) {
    const Text path(name);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return CallResult(errno);
    if (S_ISDIR(info.st_mode)) return CallResult(EISDIR);

    // A symbolic link itself goes; a lock on the file it leads to does not concern it.
    Descriptor file(-1);
    if (!S_ISLNK(info.st_mode) && HoldOn(path.c_str(), O_NOFOLLOW, file) != Hold::Free) {
        return CallResult(EBUSY, true);
    }

    // Any other refusal (an immutable file, a sticky folder) would refuse the boot as well.
    if (unlink(path.c_str()) != 0) return CallResult(errno);
    return CallResult(SyncFolderOf(fs::absolute(fs::path(path))));
}

Text StagingFolderFor(TextView target) {
    int error = 0;
    const std::string resolved = posix::QueuedTarget(target, error);
    return error != 0 ? Text(".") : posix::FolderOf(resolved);
}

ErrorCode ScheduleReplaceAtRestart(TextView staged, TextView target) {
    posix::JournalRecord record;
    record.kind = posix::JournalRecord::Kind::Replace;
    int error = 0;
    int targetError = 0;
    record.first = posix::QueuedTarget(staged, error);
    record.second = posix::QueuedTarget(target, targetError);
    if (error == 0) error = targetError;
    if (error == 0) error = FolderIdentity(record.second, record.folder);
    if (error == 0) error = PrepareStagedFile(record);
    return error != 0 ? error : Queue(record);
}

ErrorCode ScheduleDeleteAtRestart(TextView name) {
    posix::JournalRecord record;
    record.kind = posix::JournalRecord::Kind::Delete;
    int error = 0;
    record.first = posix::QueuedEntry(name, error);
    if (error == 0) error = FolderIdentity(record.first, record.folder);
    return error != 0 ? error : Queue(record);
}

void DiscardStagedFile(TextView name) { unlink(Text(name).c_str()); }

}  // namespace pinfile
