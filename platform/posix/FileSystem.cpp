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
using posix::LastError;
using posix::ReplaceWithCopy;
using posix::SyncFolderOf;

FileCallResult CallResult(Status status) { return FileCallResult::Of(status); }
FileCallResult CallResult(ErrorCode error) { return FileCallResult::Of(Status(error)); }
FileCallResult InUse() { return {EBUSY, true}; }

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

Status FolderIdentity(const std::string& name, posix::FileIdentity& identity) {
    struct stat info {};
    if (stat(posix::FolderOf(name).c_str(), &info) != 0) return LastError();
    identity = IdentityOf(info);
    return {};
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
Status PrepareStagedFile(posix::JournalRecord& record) {
    const Descriptor file(open(record.first.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat target {};
    if (!file.valid() || lstat(record.second.c_str(), &target) != 0) return LastError();
    record.targetOwner = target.st_uid;
    record.targetGroup = target.st_gid;
    record.targetMode = target.st_mode & 07777U;
    if (fchmod(file.get(), target.st_mode & 0755U) != 0) return LastError();
    const Status copied = posix::CopyAttributes(record.second, file.get(), StagedAttribute);
    if (copied.Failed()) return copied;
    struct stat info {};
    if (fsync(file.get()) != 0 || fstat(file.get(), &info) != 0) return LastError();
    record.staged = IdentityOf(info);
    return {};
}

FileCallResult Queue(const posix::JournalRecord& record) {
    posix::Journal journal;
    Status status = journal.Open(posix::JournalPath(), true);
    if (status.Succeeded()) status = journal.Append(record);
    if (status.Succeeded()) MarkRestartRequired();
    return CallResult(status);
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
    if (!in.valid()) return CallResult(LastError());
    struct stat sourceInfo {};
    if (fstat(in.get(), &sourceInfo) != 0) return CallResult(LastError());
    if (S_ISDIR(sourceInfo.st_mode)) return CallResult(EISDIR);
    if (!S_ISREG(sourceInfo.st_mode)) return CallResult(EINVAL);

    std::string resolved;
    if (const Status found = posix::QueuedTarget(target, resolved); found.Failed()) {
        return CallResult(found);
    }
    // Only a regular file is replaced: a FIFO, socket or device is no file to put in place.
    struct stat targetInfo {};
    if (stat(resolved.c_str(), &targetInfo) == 0 && !S_ISREG(targetInfo.st_mode)) {
        return CallResult(S_ISDIR(targetInfo.st_mode) ? EISDIR : EINVAL);
    }

    // A target that another process has locked is in use; ours keeps it until we are done.
    Descriptor existing(-1);
    if (HoldOn(resolved.c_str(), 0, existing) != Hold::Free) return InUse();

    return CallResult(ReplaceWithCopy(in.get(), sourceInfo.st_mode, resolved));
}

FileCallResult DeleteFileNow(TextView name) {
    const Text path(name);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return CallResult(LastError());
    if (S_ISDIR(info.st_mode)) return CallResult(EISDIR);

    // A symbolic link itself goes; a lock on the file it leads to does not concern it.
    Descriptor file(-1);
    if (!S_ISLNK(info.st_mode) && HoldOn(path.c_str(), O_NOFOLLOW, file) != Hold::Free) {
        return InUse();
    }

    // Any other refusal (an immutable file, a sticky folder) would refuse the boot as well.
    if (unlink(path.c_str()) != 0) return CallResult(LastError());
    return CallResult(SyncFolderOf(fs::absolute(fs::path(path))));
}

Text StagingFolderFor(TextView target) {
    std::string resolved;
    return posix::QueuedTarget(target, resolved).Failed() ? Text(".") : posix::FolderOf(resolved);
}

FileCallResult ScheduleReplaceAtRestart(TextView staged, TextView target) {
    posix::JournalRecord record;
    record.kind = posix::JournalRecord::Kind::Replace;
    Status status = posix::QueuedTarget(staged, record.first);
    if (status.Succeeded()) status = posix::QueuedTarget(target, record.second);
    if (status.Succeeded()) status = FolderIdentity(record.second, record.folder);
    if (status.Succeeded()) status = PrepareStagedFile(record);
    return status.Failed() ? CallResult(status) : Queue(record);
}

FileCallResult ScheduleDeleteAtRestart(TextView name) {
    posix::JournalRecord record;
    record.kind = posix::JournalRecord::Kind::Delete;
    Status status = posix::QueuedEntry(name, record.first);
    if (status.Succeeded()) status = FolderIdentity(record.first, record.folder);
    return status.Failed() ? CallResult(status) : Queue(record);
}

void DiscardStagedFile(TextView name) { unlink(Text(name).c_str()); }

}  // namespace pinfile
