#include "../PendingQueue.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "FileCopy.h"
#include "Locations.h"
#include "QueuedNames.h"
#include "RestartJournal.h"

namespace pinfile {

namespace {

using posix::Checked;
using posix::Descriptor;
using posix::JournalEntry;
using posix::JournalRecord;
using posix::LastError;
using posix::RecordState;
using Result = AppliedOperation::Result;

constexpr const char* kAccessAcl = "system.posix_acl_access";

PendingOperation FromEntry(const JournalEntry& entry) {
    PendingOperation operation;
    if (!entry.sound) {
        operation.kind = PendingOperation::Kind::Damaged;
        operation.offset = entry.offset;
        operation.size = entry.size;
        return operation;
    }
    const bool replace = entry.record.kind == JournalRecord::Kind::Replace;
    operation.kind = replace ? PendingOperation::Kind::Replace : PendingOperation::Kind::Delete;
    operation.source = entry.record.first;
    operation.target = entry.record.second;
    operation.lastError = entry.state == RecordState::Failed ? entry.lastError : 0;
    operation.unchecked = !entry.record.checked;
    operation.byPinfile = true;
    return operation;
}

// What the list shows: what the boot will still do, and what it will skip as damaged.
bool Listed(const JournalEntry& entry) { return !entry.sound || entry.Open(); }

// ---- identities: the boot acts only on what was queued ----

// The staged file is the one pinfile wrote: same file, same contents as far as size and
// time tell, owned by root, nobody else may write it, and no other name leads to it.
bool IsStagedFile(int file, const posix::FileIdentity& staged) {
    struct stat info {};
    posix::FileIdentity now;
    if (fstat(file, &info) != 0 || posix::IdentityOf(file, now).Failed()) return false;
    return S_ISREG(info.st_mode) && posix::IsSameFile(now, staged) && now.owner == 0 &&
           now.owner == staged.owner && info.st_nlink == 1 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 && now.size == staged.size &&
           now.modifiedSeconds == staged.modifiedSeconds &&
           now.modifiedNanoseconds == staged.modifiedNanoseconds;
}

// Opens the regular file that the name in the folder holds, following no link: ELOOP when
// something else is there, which no check will take for the recorded file.
Status OpenPlainFile(int folder, const std::string& name, Descriptor& file) {
    struct stat named {};
    if (fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    if (!S_ISREG(named.st_mode)) return Status(ELOOP);
    file.reset(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.valid()) return LastError();
    struct stat opened {};
    if (fstat(file.get(), &opened) != 0) return LastError();
    const bool same = opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
    return same ? Status() : Status(ELOOP);
}

// Opens a folder by its canonical name one component at a time, following no symbolic
// link: one put in since the operation was queued could lead anywhere.
Status OpenFolderWithoutLinks(const std::string& folder, Descriptor& opened) {
    opened.reset(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.valid()) return LastError();
    for (std::size_t start = 1; start < folder.size();) {
        std::size_t end = folder.find('/', start);
        if (end == std::string::npos) end = folder.size();
        const std::string component = folder.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        if (component == "." || component == "..") return Status(ELOOP);
        const int next = openat(opened.get(), component.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return LastError();
        opened.reset(next);
    }
    return {};
}

AppliedOperation DoneOrFailed(const PendingOperation& operation, Status status) {
    return {operation, status.Succeeded() ? Result::Done : Result::Failed, status.Code()};
}

AppliedOperation DoneOrFailed(const PendingOperation& operation, ErrorCode error) {
    return DoneOrFailed(operation, Status(error));
}

AppliedOperation Mismatch(const PendingOperation& operation, ErrorCode error) {
    return {operation, Result::Mismatch, error};
}

// Why a folder of the record cannot be opened as it was queued: a link put in on the way
// is a mismatch, anything else a failure that the next boot may not meet.
AppliedOperation FolderRefused(const PendingOperation& operation, Status opened) {
    const bool linked = opened.Code() == ELOOP || opened.Code() == ENOTDIR;
    return linked ? Mismatch(operation, ELOOP) : DoneOrFailed(operation, opened);
}

// The folder of the record, as it was when queued, or why not.
AppliedOperation OpenRecordFolder(const PendingOperation& operation, const JournalRecord& record,
                                  const std::string& name, Descriptor& folder) {
    const Status opened = OpenFolderWithoutLinks(posix::FolderOf(name), folder);
    if (opened.Failed()) return FolderRefused(operation, opened);
    posix::FileIdentity now;
    if (const Status known = posix::IdentityOf(folder.get(), now); known.Failed()) {
        return DoneOrFailed(operation, known);
    }
    if (!posix::IsSameFile(now, record.folder)) return Mismatch(operation, ESTALE);
    return {operation, Result::Done, 0};
}

Status SyncFolders(int first, int second) {
    if (fsync(first) != 0) return LastError();
    return second == first ? Status() : Checked(fsync(second));
}

// A rename within the folder; across file systems (a target that is a mount of its own) the
// staged file is copied in place safely and then removed.
Status MoveOverAt(int stagedFolder, const std::string& staged, int targetFolder,
                  const std::string& target, const struct stat& stagedInfo) {
    if (renameat(stagedFolder, staged.c_str(), targetFolder, target.c_str()) == 0) {
        return SyncFolders(targetFolder, stagedFolder);
    }
    if (errno != EXDEV) return LastError();
    const Descriptor source(
        openat(stagedFolder, staged.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!source.valid()) return LastError();
    const Status copied =
        posix::ReplaceWithCopyAt(source.get(), stagedInfo.st_mode, targetFolder, target);
    if (copied.Failed()) return copied;
    if (unlinkat(stagedFolder, staged.c_str(), 0) != 0) return LastError();
    return SyncFolders(stagedFolder, stagedFolder);
}

// Once in place, the new file takes the owner, group, mode and access ACL that the replaced
// target had when the replacement was queued. Set through the open file, never by a name
// that could be swapped for a link meanwhile. The ACL waits for this moment, as it could let
// others write the staged file.
Status GiveTargetMetadata(int placed, const JournalRecord& record, const std::string& acl) {
    if (record.targetMode == 0) return {};
    Status status =
        posix::SetOwnerAndMode(placed, record.targetOwner, record.targetGroup, record.targetMode);
    if (status.Succeeded() && !acl.empty()) {
        status = Checked(fsetxattr(placed, kAccessAcl, acl.data(), acl.size(), 0));
    }
    if (status.Failed()) return status;
    return Checked(fsync(placed));
}

// The access ACL for the new file: as recorded at queueing, or for a record that did not
// record it, what the target has now.
std::string TargetAcl(const JournalRecord& record, int targetFolder, const std::string& target) {
    if (record.aclRecorded) return record.targetAcl;
    std::string acl;
    posix::ReadAttribute(posix::AttributePath(targetFolder, target), kAccessAcl, acl).Ignore();
    return acl;
}

// The staged file is gone: done by a run before a crash only if the target is now the
// staged file, which may still lack what the replaced target had.
AppliedOperation DoneBefore(const PendingOperation& operation, const JournalRecord& record,
                            int targetFolder, const std::string& target) {
    Descriptor placed(-1);
    posix::FileIdentity now;
    const bool moved = OpenPlainFile(targetFolder, target, placed).Succeeded() &&
                       posix::IdentityOf(placed.get(), now).Succeeded() &&
                       posix::IsSameFile(now, record.staged);
    if (!moved) return DoneOrFailed(operation, ENOENT);
    const Status given = GiveTargetMetadata(placed.get(), record, record.targetAcl);
    return given.Succeeded() ? AppliedOperation{operation, Result::AlreadyDone, 0}
                             : DoneOrFailed(operation, given);
}

AppliedOperation ReplaceChecked(const PendingOperation& operation, const JournalRecord& record) {
    Descriptor targetFolder(-1);
    AppliedOperation opened = OpenRecordFolder(operation, record, record.second, targetFolder);
    if (opened.result != Result::Done) return opened;
    const bool oneFolder = posix::FolderOf(record.first) == posix::FolderOf(record.second);
    Descriptor otherFolder(-1);
    if (!oneFolder) {
        const Status other = OpenFolderWithoutLinks(posix::FolderOf(record.first), otherFolder);
        if (other.Failed()) return FolderRefused(operation, other);
    }
    const int stagedFolder = oneFolder ? targetFolder.get() : otherFolder.get();
    const std::string staged = posix::LastComponentOf(record.first);
    const std::string target = posix::LastComponentOf(record.second);

    Descriptor file(-1);
    const Status found = OpenPlainFile(stagedFolder, staged, file);
    if (found.Code() == ENOENT) return DoneBefore(operation, record, targetFolder.get(), target);
    if (found.Code() == ELOOP) return Mismatch(operation, ESTALE);
    if (found.Failed()) return DoneOrFailed(operation, found);
    if (!IsStagedFile(file.get(), record.staged)) return Mismatch(operation, ESTALE);
    struct stat info {};
    if (fstat(file.get(), &info) != 0) return DoneOrFailed(operation, LastError());
    const std::string acl = TargetAcl(record, targetFolder.get(), target);
    Status status = MoveOverAt(stagedFolder, staged, targetFolder.get(), target, info);
    if (status.Succeeded()) status = GiveTargetMetadata(file.get(), record, acl);
    return DoneOrFailed(operation, status);
}

AppliedOperation DeleteChecked(const PendingOperation& operation, const JournalRecord& record) {
    Descriptor folder(-1);
    AppliedOperation opened = OpenRecordFolder(operation, record, record.first, folder);
    if (opened.result != Result::Done) return opened;
    const std::string name = posix::LastComponentOf(record.first);
    struct stat info {};
    if (fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? AppliedOperation{operation, Result::AlreadyDone, 0}
                               : DoneOrFailed(operation, LastError());
    }
    if (S_ISDIR(info.st_mode)) return DoneOrFailed(operation, EISDIR);
    if (unlinkat(folder.get(), name.c_str(), 0) != 0) return DoneOrFailed(operation, LastError());
    return DoneOrFailed(operation, Checked(fsync(folder.get())));
}

// ---- records of the first version: no identities to check ----

Status MoveOver(const std::string& staged, const std::string& target) {
    if (rename(staged.c_str(), target.c_str()) == 0) return posix::SyncFolderOf(target);
    if (errno != EXDEV) return LastError();
    const Descriptor source(open(staged.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!source.valid() || fstat(source.get(), &info) != 0) return LastError();
    const Status copied = posix::ReplaceWithCopy(source.get(), info.st_mode, target);
    if (copied.Failed()) return copied;
    return unlink(staged.c_str()) == 0 ? posix::SyncFolderOf(staged) : LastError();
}

AppliedOperation ReplaceUnchecked(const PendingOperation& operation) {
    struct stat info {};
    if (lstat(operation.source.c_str(), &info) != 0 && errno == ENOENT) {
        // The staged file is gone: a run before a crash moved it, if the target is there.
        if (lstat(operation.target.c_str(), &info) == 0) return {operation, Result::AlreadyDone, 0};
        return DoneOrFailed(operation, ENOENT);
    }
    return DoneOrFailed(operation, MoveOver(operation.source, operation.target));
}

AppliedOperation DeleteUnchecked(const PendingOperation& operation) {
    struct stat info {};
    if (lstat(operation.source.c_str(), &info) != 0) {
        if (errno == ENOENT) return {operation, Result::AlreadyDone, 0};
        return DoneOrFailed(operation, LastError());
    }
    if (S_ISDIR(info.st_mode)) return DoneOrFailed(operation, EISDIR);
    if (unlink(operation.source.c_str()) != 0) return DoneOrFailed(operation, LastError());
    return DoneOrFailed(operation, posix::SyncFolderOf(operation.source));
}

bool IsAbsolute(const Text& name) { return !name.empty() && name.front() == '/'; }

AppliedOperation CarryOut(const JournalEntry& entry) {
    const PendingOperation operation = FromEntry(entry);
    const JournalRecord& record = entry.record;
    const bool replace = record.kind == JournalRecord::Kind::Replace;
    if (!IsAbsolute(operation.source) || (replace && !IsAbsolute(operation.target))) {
        return {operation, Result::Refused, 0};
    }
    if (!record.checked) return replace ? ReplaceUnchecked(operation) : DeleteUnchecked(operation);
    return replace ? ReplaceChecked(operation, record) : DeleteChecked(operation, record);
}

// ---- withdrawing ----

// Removes the staged file of a withdrawn replacement when it is the one pinfile made: the
// recorded file, or for a record without identities a root's private TMP file beside the
// target. Another program's file stays.
void DiscardStagedFileOf(const JournalRecord& record) {
    if (record.kind != JournalRecord::Kind::Replace) return;
    const std::string folder = posix::FolderOf(record.first);
    Descriptor opened(-1);
    Descriptor file(-1);
    const std::string name = posix::LastComponentOf(record.first);
    if (OpenFolderWithoutLinks(folder, opened).Failed() ||
        OpenPlainFile(opened.get(), name, file).Failed()) {
        return;
    }
    struct stat info {};
    const bool ours = record.checked ? IsStagedFile(file.get(), record.staged)
                                     : name.starts_with("TMP") && name.size() == 9 &&
                                           folder == posix::FolderOf(record.second) &&
                                           fstat(file.get(), &info) == 0 && info.st_uid == 0 &&
                                           info.st_nlink == 1;
    if (ours && unlinkat(opened.get(), name.c_str(), 0) == 0) fsync(opened.get());
}

// Withdraws the entry at index with its staged file; the queue goes when nothing is left.
Status Withdraw(posix::Journal& journal, std::size_t index) {
    const Status marked = journal.Mark(index, RecordState::Withdrawn, 0);
    if (marked.Succeeded()) DiscardStagedFileOf(journal.Entries()[index].record);
    return marked;
}

// The file that a later command acted on: its canonical name, and the identity of its folder
// where that can be had.
struct CommandFile {
    std::string name;
    bool folderKnown = false;
    posix::FileIdentity folder;
};

Status FindCommandFile(LaterCommand command, TextView name, CommandFile& file) {
    const Status resolved = command == LaterCommand::Copy ? posix::QueuedTarget(name, file.name)
                                                          : posix::QueuedEntry(name, file.name);
    if (resolved.Failed()) return resolved;
    const Descriptor folder(
        open(posix::FolderOf(file.name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    file.folderKnown = folder.valid() && posix::IdentityOf(folder.get(), file.folder).Succeeded();
    return {};
}

// The record acts on the file: the same name in the same folder, however either was reached
// (a bind mount, a link on the way), or for a record without identities the same spelling.
bool ActsOn(const JournalRecord& record, const std::string& recorded, const CommandFile& file) {
    if (recorded == file.name) return true;
    return record.checked && file.folderKnown &&
           posix::LastComponentOf(recorded) == posix::LastComponentOf(file.name) &&
           posix::IsSameFile(file.folder, record.folder);
}

bool Undoes(LaterCommand command, const JournalRecord& record, const CommandFile& file,
            TextView queuedStaged) {
    if (record.kind == JournalRecord::Kind::Replace) {
        return record.first != queuedStaged && ActsOn(record, record.second, file);
    }
    return command == LaterCommand::Copy && ActsOn(record, record.first, file);
}

// The staged files that the journal's waiting replacements need in the folder.
std::vector<std::string> NeededIn(const posix::Journal& journal, const std::string& folder) {
    std::vector<std::string> needed;
    for (const JournalEntry& entry : journal.Entries()) {
        if (entry.Open() && entry.record.kind == JournalRecord::Kind::Replace &&
            posix::FolderOf(entry.record.first) == folder) {
            needed.push_back(posix::LastComponentOf(entry.record.first));
        }
    }
    return needed;
}

// Before records leave the journal, what they leave behind goes: the staged files of
// withdrawn replacements (a crash may have cut their removal short), and in every folder that
// the journal names, staged files that no waiting record needs (left by a run that was killed
// before it queued them). A crash meanwhile leaves the records, and the next run clears up the
// same way.
Status CompactClean(posix::Journal& journal) {
    std::vector<std::string> folders;
    for (const JournalEntry& entry : journal.Entries()) {
        if (!entry.sound || entry.record.kind != JournalRecord::Kind::Replace) continue;
        if (entry.state == RecordState::Withdrawn) DiscardStagedFileOf(entry.record);
        const std::string folder = posix::FolderOf(entry.record.first);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    for (const std::string& folder : folders) {
        Descriptor opened(-1);
        if (OpenFolderWithoutLinks(folder, opened).Succeeded()) {
            posix::RemoveUnneededStagedFiles(opened.get(), NeededIn(journal, folder));
        }
    }
    return journal.Compact();
}

// Removes the journal once a withdrawal leaves nothing in it for the boot; damaged bytes
// keep it until apply has reported them.
Status CompactWhenEmpty(posix::Journal& journal) {
    for (const JournalEntry& entry : journal.Entries()) {
        if (Listed(entry)) return {};
    }
    return CompactClean(journal);
}

}  // namespace

// The lock lives in the run folder, which only root may write; a run that cannot take it
// (not root) cannot edit the queue either, and goes on without it.
RunTurn WaitForOtherRuns(const std::function<void()>& waiting) {
    static int held = -1;
    if (held >= 0) return {};
    const std::string folder = posix::RunFolder();
    mkdir(folder.c_str(), 0755);
    Descriptor lock(
        open((folder + "/pinfile.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat info {};
    if (!lock.valid() || fstat(lock.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != 0) {
        return {};
    }
    if (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        waiting();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(RunWaitSeconds());
        while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() >= deadline) return {RunTurn::Kind::TimedOut, 0};
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    held = lock.release();
    return {};
}

PendingList ReadPendingOperations() {
    const std::string path = posix::JournalPath();
    if (!posix::JournalIsTrusted(path)) return {0, {}, true, path};
    std::vector<JournalEntry> entries;
    const Status read = posix::ReadJournal(path, entries);
    if (read.Failed()) return {read.Code() == ENOENT ? 0 : read.Code(), {}, false, path};
    PendingList list;
    list.where = path;
    for (const JournalEntry& entry : entries) {
        if (Listed(entry)) list.operations.push_back(FromEntry(entry));
    }
    return list;
}

Withdrawal WithdrawUndoingOperations(LaterCommand command, TextView name, TextView queuedStaged) {
    posix::Journal journal;
    Status status = journal.Open(posix::JournalPath(), false);
    if (status.Code() == ENOENT) return {};
    // The command's own operation, named by its staged file as it was recorded, stays.
    CommandFile file;
    if (status.Succeeded()) status = FindCommandFile(command, name, file);
    if (status.Failed()) return {status.Code(), {}, {}};

    Withdrawal withdrawal;
    for (std::size_t i = 0; i < journal.Entries().size(); ++i) {
        const JournalEntry& entry = journal.Entries()[i];
        if (!entry.Open() || !Undoes(command, entry.record, file, queuedStaged)) continue;
        if (status.Succeeded()) status = Withdraw(journal, i);
        (status.Succeeded() ? withdrawal.withdrawn : withdrawal.remaining)
            .push_back(FromEntry(entry));
    }
    withdrawal.error = status.Code();
    // A journal that stays although nothing is left in it does no harm: apply removes it.
    if (status.Succeeded()) CompactWhenEmpty(journal).Ignore();
    return withdrawal;
}

Cancellation CancelPendingOperation(std::int32_t number) {
    posix::Journal journal;
    const Status opened = journal.Open(posix::JournalPath(), false);
    if (opened.Code() == ENOENT) return {Cancellation::Kind::NoSuchOperation, 0, {}};
    if (opened.Failed()) return {Cancellation::Kind::Failed, opened.Code(), {}};
    std::int32_t listed = 0;
    for (std::size_t i = 0; i < journal.Entries().size(); ++i) {
        const JournalEntry& entry = journal.Entries()[i];
        if (!Listed(entry) || ++listed != number) continue;
        if (!entry.sound) return {Cancellation::Kind::Damaged, 0, FromEntry(entry)};
        const PendingOperation operation = FromEntry(entry);
        if (const Status withdrawn = Withdraw(journal, i); withdrawn.Failed()) {
            return {Cancellation::Kind::Failed, withdrawn.Code(), operation};
        }
        CompactWhenEmpty(journal).Ignore();
        return {Cancellation::Kind::Cancelled, 0, operation};
    }
    return {Cancellation::Kind::NoSuchOperation, 0, {}};
}

ApplyOutcome ApplyPendingOperations(const std::function<void(const AppliedOperation&)>& tell) {
    const std::string path = posix::JournalPath();
    posix::Journal journal;
    const Status opened = journal.Open(path, false);
    if (opened.Code() == ENOENT) return {ApplyOutcome::Kind::Finished, 0, path};
    // Refused as written by someone else, or not readable by this user: two different answers.
    if (opened.Code() == EACCES && !posix::JournalIsTrusted(path)) {
        return {ApplyOutcome::Kind::Insecure, 0, path};
    }
    if (opened.Failed()) return {ApplyOutcome::Kind::Failed, opened.Code(), path};

    // Each result is on disk before the next operation begins: a run after a crash skips
    // what is marked and finds by identity what was done but not yet marked.
    for (std::size_t i = 0; i < journal.Entries().size(); ++i) {
        const JournalEntry& entry = journal.Entries()[i];
        if (!entry.sound) {
            tell({FromEntry(entry), Result::Skipped, 0});
            continue;
        }
        if (!entry.Open()) continue;
        AppliedOperation applied = CarryOut(entry);
        const bool done = applied.result == Result::Done || applied.result == Result::AlreadyDone;
        const ErrorCode code = applied.error != 0 ? applied.error : EINVAL;
        const Status marked = done ? journal.Mark(i, RecordState::CarriedOut, 0)
                                   : journal.Mark(i, RecordState::Failed, code);
        if (marked.Failed()) return {ApplyOutcome::Kind::Failed, marked.Code(), path};
        tell(applied);
    }
    if (const Status compacted = CompactClean(journal); compacted.Failed()) {
        return {ApplyOutcome::Kind::Failed, compacted.Code(), path};
    }
    return {ApplyOutcome::Kind::Finished, 0, path};
}

}  // namespace pinfile
