// The POSIX restart queue as the platform's interface shows it: listed, edited by later
// commands and cancellations, and carried out at boot, record by record.
#include "../../PendingQueue.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <utility>

#include "../../UtilityLibrary.h"
#include "../FileCopy.h"
#include "../Links.h"
#include "../Locations.h"
#include "BootRunner.h"
#include "JournalFile.h"
#include "LastRestart.h"

namespace pinfile {

namespace {

using posix::Descriptor;
using posix::JournalEntry;
using posix::JournalRecord;
using posix::OperationOf;
using posix::RecordState;
using Result = AppliedOperation::Result;

// What the list shows: what the boot will still do, and what it will skip as damaged.
bool ShownInList(const JournalEntry& entry) { return !entry.sound || entry.StillWaiting(); }

// Withdraws the entry at index with its staged file; the queue goes when nothing is left.
Status Withdraw(posix::Journal& journal, std::size_t index) {
    const Status marked = journal.Mark(index, RecordState::Withdrawn, 0);
    if (marked.Succeeded()) posix::DiscardStagedFileOf(journal.Entries()[index].record);
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
    Descriptor folder;
    file.folderKnown = posix::OpenFolder(FolderOf(file.name), folder).Succeeded() &&
                       posix::IdentityOf(folder.get(), file.folder).Succeeded();
    return {};
}

// The name of the record is the file: the same name in the same folder, however either was
// reached (a bind mount, a link on the way), or for a record without identities the same
// spelling. A record proves the target's folder; its staged file lies in the same one.
bool NamesTheFile(const JournalRecord& record, TextView recorded, const CommandFile& file) {
    if (recorded == file.name) return true;
    return record.checked && file.folderKnown &&
           ulGetFileName(recorded) == ulGetFileName(file.name) &&
           FolderOf(recorded) == FolderOf(record.target) &&
           posix::IsSameFile(file.folder, record.targetFolder);
}

// Before records leave the journal, what they leave behind goes: the staged files of
// withdrawn replacements (a crash may have cut their removal short), and in every folder that
// the journal names, what killed runs left that pinfile proves its own and no open record
// needs (see RemoveLeftovers). Only in a folder that one of its records proves by identity: a
// folder put in the place of a record's one later is not pinfile's to clear. A crash
// meanwhile leaves the records, and the next run clears up the same way.
Status CompactClean(posix::Journal& journal) {
    // Each folder with the identities that its records hold of it.
    std::map<std::string, std::vector<const posix::FileIdentity*>> folders;
    for (const JournalEntry& entry : journal.Entries()) {
        if (!entry.sound || entry.record.kind != JournalRecord::Kind::Replace) continue;
        if (entry.state == RecordState::Withdrawn) posix::DiscardStagedFileOf(entry.record);
        auto& identities = folders[FolderOf(entry.record.staged)];
        if (entry.record.checked) identities.push_back(&entry.record.targetFolder);
    }
    const posix::NeededNames needed = posix::StagedNamesNeeded(journal.Entries());
    for (const auto& [folder, identities] : folders) {
        Descriptor opened;
        posix::FileIdentity here;
        if (posix::OpenFolderWithoutLinks(folder, opened).Failed() ||
            posix::IdentityOf(opened.get(), here).Failed()) {
            continue;
        }
        const bool proven = std::any_of(identities.begin(), identities.end(), [&](auto* recorded) {
            return posix::IsSameFile(here, *recorded);
        });
        if (proven) posix::RemoveLeftovers(opened.get(), posix::RunJournalId(), needed, -1);
    }
    return journal.Compact();
}

// Removes the journal once a withdrawal leaves nothing in it for the boot; damaged bytes
// keep it until apply has reported them.
Status CompactWhenEmpty(posix::Journal& journal) {
    for (const JournalEntry& entry : journal.Entries()) {
        if (ShownInList(entry)) return {};
    }
    return CompactClean(journal);
}

}  // namespace

PendingList ReadPendingOperations() {
    const std::string path = posix::JournalPath();
    if (!posix::JournalIsTrusted(path)) return {{}, {}, true, path};
    std::vector<JournalEntry> entries;
    const Status read = posix::ReadJournal(path, entries);
    if (read.Failed()) return {read.Code() == ENOENT ? Status() : read, {}, false, path};
    PendingList list;
    list.where = path;
    for (const JournalEntry& entry : entries) {
        if (ShownInList(entry)) list.operations.push_back(OperationOf(entry));
    }
    return list;
}

Withdrawal WithdrawUndoingOperations(LaterCommand command, TextView name, TextView queuedStaged) {
    posix::Journal* opened = nullptr;
    Status status = posix::OpenRunJournal(false, opened);
    if (status.Code() == ENOENT) return {};
    posix::Journal& journal = *opened;
    // The command's own operation, named by its staged file as it was recorded, stays.
    CommandFile file;
    if (status.Succeeded()) status = FindCommandFile(command, name, file);
    if (status.Failed()) return {status, {}, {}};

    Withdrawal withdrawal;
    for (std::size_t i = 0; i < journal.Entries().size(); ++i) {
        const JournalEntry& entry = journal.Entries()[i];
        const auto isTheFile = [&](TextView recorded) {
            return NamesTheFile(entry.record, recorded, file);
        };
        if (!entry.StillWaiting() ||
            !UndoesLaterCommand(command, OperationOf(entry), queuedStaged, isTheFile)) {
            continue;
        }
        if (status.Succeeded()) status = Withdraw(journal, i);
        (status.Succeeded() ? withdrawal.withdrawn : withdrawal.remaining)
            .push_back(OperationOf(entry));
    }
    withdrawal.status = status;
    // A journal that stays although nothing is left in it does no harm: apply removes it.
    if (status.Succeeded()) CompactWhenEmpty(journal).Ignore();
    return withdrawal;
}

Cancellation CancelPendingOperation(std::int32_t number) {
    posix::Journal* run = nullptr;
    const Status opened = posix::OpenRunJournal(false, run);
    if (opened.Code() == ENOENT) return {Cancellation::Kind::NoSuchOperation, {}, {}};
    if (opened.Failed()) return {Cancellation::Kind::Failed, opened, {}};
    posix::Journal& journal = *run;
    std::int32_t listed = 0;
    for (std::size_t i = 0; i < journal.Entries().size(); ++i) {
        const JournalEntry& entry = journal.Entries()[i];
        if (!ShownInList(entry) || ++listed != number) continue;
        if (!entry.sound) return {Cancellation::Kind::Damaged, {}, OperationOf(entry)};
        const PendingOperation operation = OperationOf(entry);
        if (const Status withdrawn = Withdraw(journal, i); withdrawn.Failed()) {
            return {Cancellation::Kind::Failed, withdrawn, operation};
        }
        CompactWhenEmpty(journal).Ignore();
        return {Cancellation::Kind::Cancelled, {}, operation};
    }
    return {Cancellation::Kind::NoSuchOperation, {}, {}};
}

ApplyOutcome ApplyPendingOperations(const std::function<void(const AppliedOperation&)>& tell) {
    const std::string path = posix::JournalPath();
    posix::Journal* run = nullptr;
    const Status opened = posix::OpenRunJournal(false, run);
    if (opened.Code() == ENOENT) return {ApplyOutcome::Kind::Finished, {}, path};
    // Refused as written by someone else, or not readable by this user: two different answers.
    if (opened.Code() == EACCES && !posix::JournalIsTrusted(path)) {
        return {ApplyOutcome::Kind::Insecure, {}, path};
    }
    if (opened.Failed()) return {ApplyOutcome::Kind::Failed, opened, path};
    posix::Journal& journal = *run;

    // Each result is on disk before the next operation begins: a run after a crash skips
    // what is marked and finds by identity what was done but not yet marked.
    LastRestart outcome;
    for (std::size_t i = 0; i < journal.Entries().size(); ++i) {
        const JournalEntry& entry = journal.Entries()[i];
        if (!entry.sound) {
            tell({OperationOf(entry), Result::Skipped, 0});
            continue;
        }
        if (!entry.StillWaiting()) continue;
        AppliedOperation applied = CarryOut(entry);
        const bool done = applied.result == Result::Done || applied.result == Result::AlreadyDone;
        const ErrorCode code = applied.error != 0 ? applied.error : EINVAL;
        const Status marked = done ? journal.Mark(i, RecordState::CarriedOut, 0)
                                   : journal.Mark(i, RecordState::Failed, code);
        if (marked.Failed()) return {ApplyOutcome::Kind::Failed, marked, path};
        tell(applied);
        posix::CountApplied(outcome, applied);
    }
    // What this boot did is told until the next one; the queue itself does not depend on it.
    posix::KeepLastRestart(outcome).Ignore();
    if (const Status compacted = CompactClean(journal); compacted.Failed()) {
        return {ApplyOutcome::Kind::Failed, compacted, path};
    }
    return {ApplyOutcome::Kind::Finished, {}, path};
}

}  // namespace pinfile
