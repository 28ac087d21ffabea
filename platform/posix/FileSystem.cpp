#include "../FileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "FileCopy.h"
#include "Locations.h"
#include "RestartJournal.h"

namespace pinfile {

namespace {

namespace fs = std::filesystem;
using posix::Descriptor;
using posix::ReplaceWithCopy;
using posix::SyncFolderOf;

FileCallResult Failure(int error, bool inUse = false) { return {error, inUse}; }

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

// The file a target name finally leads to: a symbolic link is written through, as cp does.
fs::path ResolveTarget(TextView target, std::error_code& error) {
    const fs::path absolute = fs::absolute(fs::path(target), error);
    return error ? fs::path() : fs::weakly_canonical(absolute, error);
}

int ErrnoOf(const std::error_code& error) {
    return error.category() == std::generic_category() || error.category() == std::system_category()
               ? error.value()
               : EINVAL;
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
    if (!in.valid()) return Failure(errno);
    struct stat sourceInfo {};
    if (fstat(in.get(), &sourceInfo) != 0) return Failure(errno);
    if (S_ISDIR(sourceInfo.st_mode)) return Failure(EISDIR);
    if (!S_ISREG(sourceInfo.st_mode)) return Failure(EINVAL);

    std::error_code resolveError;
    const fs::path resolved = ResolveTarget(target, resolveError);
    if (resolveError) return Failure(ErrnoOf(resolveError));
    struct stat targetInfo {};
    if (stat(resolved.c_str(), &targetInfo) == 0 && S_ISDIR(targetInfo.st_mode)) {
        return Failure(EISDIR);
    }

    // A target that another process has locked is in use; ours keeps it until we are done.
    const Descriptor existing(open(resolved.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (existing.valid() && HeldByAnotherProcess(existing.get())) return Failure(EBUSY, true);

    return Failure(ReplaceWithCopy(in.get(), sourceInfo.st_mode, resolved));
}

FileCallResult DeleteFileNow(TextView name) {
    const Text path(name);
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return Failure(errno);
    if (S_ISDIR(info.st_mode)) return Failure(EISDIR);

    // A symbolic link itself goes; a lock on the file it leads to does not concern it.
    const Descriptor file(
        S_ISLNK(info.st_mode)
            ? -1
            : open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (file.valid() && HeldByAnotherProcess(file.get())) return Failure(EBUSY, true);

    if (unlink(path.c_str()) != 0) return Failure(errno, errno == EPERM);
    return Failure(SyncFolderOf(fs::absolute(fs::path(path))));
}

Text StagingFolderFor(TextView target) {
    std::error_code error;
    const fs::path resolved = ResolveTarget(target, error);
    return error ? Text(".") : resolved.parent_path().string();
}

ErrorCode ScheduleReplaceAtRestart(TextView staged, TextView target) {
    std::error_code stagedError;
    std::error_code targetError;
    posix::JournalRecord record{posix::JournalRecord::Kind::Replace,
                                fs::absolute(fs::path(staged), stagedError).string(),
                                ResolveTarget(target, targetError).string()};
    if (stagedError || targetError) return ErrnoOf(stagedError ? stagedError : targetError);
    return posix::AppendToJournal(posix::JournalPath(), record);
}

ErrorCode ScheduleDeleteAtRestart(TextView name) {
    std::error_code error;
    posix::JournalRecord record{posix::JournalRecord::Kind::Delete,
                                fs::absolute(fs::path(name), error).string(), ""};
    if (error) return ErrnoOf(error);
    return posix::AppendToJournal(posix::JournalPath(), record);
}

void DiscardStagedFile(TextView name) { unlink(Text(name).c_str()); }

}  // namespace pinfile
