#include "../PendingQueue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "FileCopy.h"
#include "Locations.h"
#include "RestartJournal.h"

namespace pinfile {

namespace {

using posix::Descriptor;
using Result = AppliedOperation::Result;

PendingOperation FromEntry(const posix::JournalEntry& entry) {
    PendingOperation operation;
    if (!entry.sound) {
        operation.kind = PendingOperation::Kind::Damaged;
        operation.offset = entry.offset;
        operation.size = entry.size;
        return operation;
    }
    const bool replace = entry.record.kind == posix::JournalRecord::Kind::Replace;
    operation.kind = replace ? PendingOperation::Kind::Replace : PendingOperation::Kind::Delete;
    operation.source = entry.record.first;
    operation.target = entry.record.second;
    return operation;
}

int ReadAll(int fd, std::string& bytes) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

std::vector<PendingOperation> Decode(const std::string& bytes) {
    std::vector<PendingOperation> operations;
    for (const posix::JournalEntry& entry : posix::DecodeJournal(bytes)) {
        operations.push_back(FromEntry(entry));
    }
    return operations;
}

// Root carries the queue out at boot: a queue that anyone else could have written would let
// them replace or delete any file of the system.
bool OwnedByRootAlone(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool IsSecure(int journal, const std::string& folder) {
    struct stat file {};
    struct stat parent {};
    return fstat(journal, &file) == 0 && S_ISREG(file.st_mode) && OwnedByRootAlone(file) &&
           lstat(folder.c_str(), &parent) == 0 && S_ISDIR(parent.st_mode) &&
           OwnedByRootAlone(parent);
}

AppliedOperation Tried(const PendingOperation& operation, int error) {
    return {operation, error == 0 ? Result::Done : Result::Failed, error};
}

// A rename within one file system; across file systems the staged file is copied in place
// safely and then removed.
int MoveOver(const std::string& staged, const std::string& target) {
    if (rename(staged.c_str(), target.c_str()) == 0) return posix::SyncFolderOf(target);
    if (errno != EXDEV) return errno;
    const Descriptor source(open(staged.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!source.valid() || fstat(source.get(), &info) != 0) return errno;
    const int error = posix::ReplaceWithCopy(source.get(), info.st_mode, target);
    if (error != 0) return error;
    return unlink(staged.c_str()) == 0 ? posix::SyncFolderOf(staged) : errno;
}

AppliedOperation Replace(const PendingOperation& operation) {
    struct stat info {};
    if (lstat(operation.source.c_str(), &info) != 0 && errno == ENOENT) {
        // The staged file is gone: a run before a crash moved it, if the target is there.
        if (lstat(operation.target.c_str(), &info) == 0) return {operation, Result::AlreadyDone, 0};
        return Tried(operation, ENOENT);
    }
    return Tried(operation, MoveOver(operation.source, operation.target));
}

AppliedOperation Delete(const PendingOperation& operation) {
    struct stat info {};
    if (lstat(operation.source.c_str(), &info) != 0) {
        if (errno == ENOENT) return {operation, Result::AlreadyDone, 0};
        return Tried(operation, errno);
    }
    if (S_ISDIR(info.st_mode)) return Tried(operation, EISDIR);
    if (unlink(operation.source.c_str()) != 0) return Tried(operation, errno);
    return Tried(operation, posix::SyncFolderOf(operation.source));
}

bool IsAbsolute(const Text& name) { return !name.empty() && name.front() == '/'; }

AppliedOperation CarryOut(const PendingOperation& operation) {
    switch (operation.kind) {
        case PendingOperation::Kind::Damaged:
            return {operation, Result::Skipped, 0};
        case PendingOperation::Kind::Replace:
            if (!IsAbsolute(operation.source) || !IsAbsolute(operation.target)) break;
            return Replace(operation);
        case PendingOperation::Kind::Delete:
            if (!IsAbsolute(operation.source)) break;
            return Delete(operation);
        case PendingOperation::Kind::Move:
            break;
    }
    return {operation, Result::Refused, 0};
}

}  // namespace

PendingList ReadPendingOperations() {
    const Descriptor journal(open(posix::JournalPath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!journal.valid()) return {errno == ENOENT ? 0 : errno, {}};
    std::string bytes;
    int error = flock(journal.get(), LOCK_SH) == 0 ? ReadAll(journal.get(), bytes) : errno;
    if (error != 0) return {error, {}};
    return {0, Decode(bytes)};
}

void WaitForOtherRuns() {}

Withdrawal WithdrawUndoingOperations(LaterCommand /*command*/, TextView /*name*/,
                                     TextView /*queuedStaged*/) {
    return {};
}

Cancellation CancelPendingOperation(std::int32_t /*number*/) {
    return {Cancellation::Kind::Failed, ENOSYS, {}};
}

ApplyOutcome ApplyPendingOperations(const std::function<void(const AppliedOperation&)>& tell) {
    const std::string path = posix::JournalPath();
    const Descriptor journal(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!journal.valid()) {
        if (errno == ENOENT) return {ApplyOutcome::Kind::Finished, 0, path};
        return {ApplyOutcome::Kind::Failed, errno, path};
    }
    if (!IsSecure(journal.get(), posix::JournalFolder())) {
        return {ApplyOutcome::Kind::Insecure, 0, path};
    }
    // Writers wait while the queue is carried out; those that then find it removed start a
    // new one, so no record is lost.
    std::string bytes;
    const int error = flock(journal.get(), LOCK_EX) == 0 ? ReadAll(journal.get(), bytes) : errno;
    if (error != 0) return {ApplyOutcome::Kind::Failed, error, path};
    for (const PendingOperation& operation : Decode(bytes)) tell(CarryOut(operation));
    if (unlink(path.c_str()) != 0) return {ApplyOutcome::Kind::Failed, errno, path};
    posix::SyncFolderOf(path);
    return {ApplyOutcome::Kind::Finished, 0, path};
}

}  // namespace pinfile
