#include "BootRunner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>

#include "../../StagedFile.h"
#include "../../UtilityLibrary.h"
#include "../FileCopy.h"
#include "../SystemCallTable.h"
#include "JournalFile.h"

namespace pinfile::posix {

namespace {

using Result = AppliedOperation::Result;

// The staged file is the one pinfile wrote: same file, same contents as far as size and
// time tell, owned by root, nobody else may write it, and no other name leads to it.
bool IsStagedFile(int file, const FileIdentity& staged) {
    struct stat info {};
    FileIdentity now;
    if (System().fstat(file, &info) != 0 || IdentityOf(file, now).Failed()) return false;
    return S_ISREG(info.st_mode) && IsSameFile(now, staged) && now.owner == 0 &&
           now.owner == staged.owner && info.st_nlink == 1 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && now.size == staged.size &&
           now.modifiedSeconds == staged.modifiedSeconds &&
           now.modifiedNanoseconds == staged.modifiedNanoseconds;
}

// Opens the regular file that the name in the folder holds, following no link: ELOOP when
// something else is there, which no check will take for the recorded file.
Status OpenPlainFile(int folder, const std::string& name, Descriptor& file) {
    struct stat named {};
    if (System().fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return LastError();
    if (!S_ISREG(named.st_mode)) return Status(ELOOP);
    file.reset(System().openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                               kNoMode));
    if (!file.valid()) return LastError();
    struct stat opened {};
    if (System().fstat(file.get(), &opened) != 0) return LastError();
    return SameInode(opened, named) ? Status() : Status(ELOOP);
}

}  // namespace

// One component at a time, so that no symbolic link is followed.
Status OpenFolderWithoutLinks(const std::string& folder, Descriptor& opened) {
    opened.reset(System().open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC, kNoMode));
    if (!opened.valid()) return LastError();
    for (std::size_t start = 1; start < folder.size();) {
        std::size_t end = folder.find('/', start);
        if (end == std::string::npos) end = folder.size();
        const std::string component = folder.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        if (component == "." || component == "..") return Status(ELOOP);
        const int next = System().openat(opened.get(), component.c_str(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, kNoMode);
        if (next < 0) return LastError();
        opened.reset(next);
    }
    return {};
}

namespace {

AppliedOperation DoneOrFailed(const PendingOperation& operation, Status status) {
    return {operation, status.Succeeded() ? Result::Done : Result::Failed, status.Code()};
}

AppliedOperation DoneOrFailed(const PendingOperation& operation, ErrorCode error) {
    return DoneOrFailed(operation, Status(error));
}

AppliedOperation Mismatch(const PendingOperation& operation, ErrorCode error) {
    return {operation, Result::Mismatch, error};
}

// Why a folder of the record cannot be opened as it was queued: a link put in on the way, or
// another folder under its name, is a mismatch; anything else a failure that the next boot
// may not meet.
AppliedOperation FolderRefused(const PendingOperation& operation, Status opened) {
    if (opened.Code() == ESTALE) return Mismatch(operation, ESTALE);
    const bool linked = opened.Code() == ELOOP || opened.Code() == ENOTDIR;
    return linked ? Mismatch(operation, ELOOP) : DoneOrFailed(operation, opened);
}

// Opens the target's folder as it was when queued: fails as OpenFolderWithoutLinks does, and
// with ESTALE when the folder under that name is another one now (a stale handle that the
// system answers on the way says the same).
Status OpenRecordFolder(const JournalRecord& record, Descriptor& folder) {
    const Status opened = OpenFolderWithoutLinks(FolderOf(record.target), folder);
    if (opened.Failed()) return opened;
    FileIdentity now;
    if (const Status known = IdentityOf(folder.get(), now); known.Failed()) return known;
    return IsSameFile(now, record.targetFolder) ? Status() : Status(ESTALE);
}

// A rename within the folder; across file systems (a target that is a mount of its own) the
// staged file, open as file, is copied in place safely, and its name then removed while it
// still leads to it.
Status MoveOverAt(int stagedFolder, const std::string& staged, int file, int targetFolder,
                  const std::string& target) {
    if (System().renameat(stagedFolder, staged.c_str(), targetFolder, target.c_str()) == 0) {
        const Status synced = SyncFolder(targetFolder);
        return synced.Failed() || stagedFolder == targetFolder ? synced : SyncFolder(stagedFolder);
    }
    if (errno != EXDEV) return LastError();
    struct stat info {};
    if (System().fstat(file, &info) != 0) return LastError();
    const Status copied =
        ReplaceWithCopyAt(file, info.st_mode, targetFolder, target, RunJournalId());
    if (copied.Failed() || !NameLeadsTo(stagedFolder, staged, file)) return copied;
    return RemoveDurably(stagedFolder, staged);
}

// Once in place, the new file takes the owner, group, mode and access ACL that the replaced
// target had when the replacement was queued, and loses pinfile's mark. Set through the open
// file, never by a name that could be swapped for a link meanwhile. The ACL waits for this
// moment, as it could let others write the staged file.
Status GiveTargetMetadata(int placed, const JournalRecord& record, const std::string& acl) {
    RemoveMark(placed);
    if (record.targetMode == 0) return {};
    Status status =
        SetOwnerAndMode(placed, record.targetOwner, record.targetGroup, record.targetMode);
    if (status.Succeeded() && !acl.empty()) {
        status = Checked(System().fsetxattr(placed, kAccessAcl, acl.data(), acl.size(), 0));
    }
    if (status.Failed()) return status;
    return Checked(System().fsync(placed));
}

// The access ACL for the new file: as recorded at queueing, or for a record that did not
// record it, what the target has now.
std::string TargetAcl(const JournalRecord& record, int targetFolder, const std::string& target) {
    if (record.aclRecorded) return record.targetAcl;
    std::string acl;
    ReadAttribute(AttributesOf(targetFolder, target), kAccessAcl, acl).Ignore();
    return acl;
}

// The staged file is gone: done by a run before a crash only if the target is now the
// staged file, which may still lack what the replaced target had.
AppliedOperation DoneBefore(const PendingOperation& operation, const JournalRecord& record,
                            int targetFolder, const std::string& target) {
    Descriptor placed;
    FileIdentity now;
    const bool moved = OpenPlainFile(targetFolder, target, placed).Succeeded() &&
                       IdentityOf(placed.get(), now).Succeeded() &&
                       IsSameFile(now, record.stagedFile);
    if (!moved) return DoneOrFailed(operation, ENOENT);
    const Status given = GiveTargetMetadata(placed.get(), record, record.targetAcl);
    return given.Succeeded() ? AppliedOperation{operation, Result::AlreadyDone, 0}
                             : DoneOrFailed(operation, given);
}

AppliedOperation ReplaceChecked(const PendingOperation& operation, const JournalRecord& record) {
    Descriptor targetFolder;
    if (const Status opened = OpenRecordFolder(record, targetFolder); opened.Failed()) {
        return FolderRefused(operation, opened);
    }
    const bool oneFolder = FolderOf(record.staged) == FolderOf(record.target);
    Descriptor otherFolder;
    if (!oneFolder) {
        const Status other = OpenFolderWithoutLinks(FolderOf(record.staged), otherFolder);
        if (other.Failed()) return FolderRefused(operation, other);
    }
    const int stagedFolder = oneFolder ? targetFolder.get() : otherFolder.get();
    const std::string staged = ulGetFileName(record.staged);
    const std::string target = ulGetFileName(record.target);

    Descriptor file;
    const Status found = OpenPlainFile(stagedFolder, staged, file);
    if (found.Code() == ENOENT) return DoneBefore(operation, record, targetFolder.get(), target);
    if (found.Code() == ELOOP) return Mismatch(operation, ESTALE);
    if (found.Failed()) return DoneOrFailed(operation, found);
    if (!IsStagedFile(file.get(), record.stagedFile)) return Mismatch(operation, ESTALE);
    const std::string acl = TargetAcl(record, targetFolder.get(), target);
    Status status = MoveOverAt(stagedFolder, staged, file.get(), targetFolder.get(), target);
    if (status.Succeeded()) status = GiveTargetMetadata(file.get(), record, acl);
    return DoneOrFailed(operation, status);
}

AppliedOperation DeleteChecked(const PendingOperation& operation, const JournalRecord& record) {
    Descriptor folder;
    if (const Status opened = OpenRecordFolder(record, folder); opened.Failed()) {
        return FolderRefused(operation, opened);
    }
    const std::string name = ulGetFileName(record.target);
    struct stat info {};
    if (System().fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? AppliedOperation{operation, Result::AlreadyDone, 0}
                               : DoneOrFailed(operation, LastError());
    }
    if (S_ISDIR(info.st_mode)) return DoneOrFailed(operation, EISDIR);
    return DoneOrFailed(operation, RemoveDurably(folder.get(), name));
}

// ---- records of the first version: no identities to check ----

Status MoveOver(const std::string& staged, const std::string& target) {
    if (System().rename(staged.c_str(), target.c_str()) == 0) return SyncFolder(FolderOf(target));
    if (errno != EXDEV) return LastError();
    const Descriptor source(
        System().open(staged.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, kNoMode));
    struct stat info {};
    if (!source.valid() || System().fstat(source.get(), &info) != 0) return LastError();
    const Status copied = ReplaceWithCopy(source.get(), info.st_mode, target, RunJournalId());
    return copied.Failed() ? copied : RemoveDurably(staged);
}

AppliedOperation ReplaceUnchecked(const PendingOperation& operation) {
    struct stat info {};
    if (System().lstat(operation.source.c_str(), &info) != 0 && errno == ENOENT) {
        // The staged file is gone: a run before a crash moved it, if the target is there.
        if (System().lstat(operation.target.c_str(), &info) == 0)
            return {operation, Result::AlreadyDone, 0};
        return DoneOrFailed(operation, ENOENT);
    }
    return DoneOrFailed(operation, MoveOver(operation.source, operation.target));
}

AppliedOperation DeleteUnchecked(const PendingOperation& operation) {
    struct stat info {};
    if (System().lstat(operation.source.c_str(), &info) != 0) {
        if (errno == ENOENT) return {operation, Result::AlreadyDone, 0};
        return DoneOrFailed(operation, LastError());
    }
    if (S_ISDIR(info.st_mode)) return DoneOrFailed(operation, EISDIR);
    return DoneOrFailed(operation, RemoveDurably(operation.source));
}

bool IsAbsolute(const Text& name) { return !name.empty() && name.front() == '/'; }

}  // namespace

PendingOperation OperationOf(const JournalEntry& entry) {
    PendingOperation operation;
    if (!entry.sound) {
        operation.kind = PendingOperation::Kind::Damaged;
        operation.offset = entry.offset;
        operation.size = entry.size;
        return operation;
    }
    const bool replace = entry.record.kind == JournalRecord::Kind::Replace;
    operation.kind = replace ? PendingOperation::Kind::Replace : PendingOperation::Kind::Delete;
    operation.source = replace ? entry.record.staged : entry.record.target;
    operation.target = replace ? entry.record.target : Text();
    operation.lastError = entry.state == RecordState::Failed ? entry.lastError : 0;
    operation.unchecked = !entry.record.checked;
    operation.byPinfile = true;
    return operation;
}

AppliedOperation CarryOut(const JournalEntry& entry) {
    const PendingOperation operation = OperationOf(entry);
    const JournalRecord& record = entry.record;
    const bool replace = record.kind == JournalRecord::Kind::Replace;
    if (!IsAbsolute(operation.source) || (replace && !IsAbsolute(operation.target))) {
        return {operation, Result::Refused, 0};
    }
    if (!record.checked) return replace ? ReplaceUnchecked(operation) : DeleteUnchecked(operation);
    return replace ? ReplaceChecked(operation, record) : DeleteChecked(operation, record);
}

void DiscardStagedFileOf(const JournalRecord& record) {
    if (record.kind != JournalRecord::Kind::Replace) return;
    const std::string folder = FolderOf(record.staged);
    Descriptor opened;
    Descriptor file;
    const std::string name = ulGetFileName(record.staged);
    if (OpenFolderWithoutLinks(folder, opened).Failed() ||
        OpenPlainFile(opened.get(), name, file).Failed()) {
        return;
    }
    struct stat info {};
    const bool ours = record.checked
                          ? IsStagedFile(file.get(), record.stagedFile)
                          : IsStagedFileName(name, FromUtf8(kStagedPrefix), kEarlierStagedNames) &&
                                folder == FolderOf(record.target) &&
                                System().fstat(file.get(), &info) == 0 && info.st_uid == 0 &&
                                info.st_nlink == 1;
    if (ours) RemoveDurably(opened.get(), name).Ignore();
}

NeededNames StagedNamesNeeded(const std::vector<JournalEntry>& entries) {
    NeededNames needed;
    for (const JournalEntry& entry : entries) {
        if (entry.StillWaiting() && entry.record.kind == JournalRecord::Kind::Replace) {
            needed.insert(ulGetFileName(entry.record.staged));
        }
    }
    return needed;
}

}  // namespace pinfile::posix
