// The boot-time runner of the POSIX restart queue. It carries out one record at a time, and
// only after proving that every file and folder the record names is the one that was queued:
// a folder by identity and reached without following a link, the staged file by identity,
// contents, owner, and as the one name of its file.
#pragma once

#include <string>
#include <vector>

#include "../../PendingQueue.h"
#include "../Durable.h"
#include "Record.h"

namespace pinfile::posix {

// The entry as the queue shows it: a replacement's source is its staged file, a deletion's
// source the name to delete.
PendingOperation OperationOf(const JournalEntry& entry);

// Carries out the sound, open record of the entry; the result says what was done.
AppliedOperation CarryOut(const JournalEntry& entry);

// Removes the staged file of a withdrawn replacement when it is the one pinfile made: the
// recorded file, or for a record without identities a root's private staged file beside the
// target. Another program's file stays.
void DiscardStagedFileOf(const JournalRecord& record);

// Removes the staged files in the open folder that no waiting record of the entries needs
// (the folder proven by identity; a record without identities may need its name anywhere)
// and whose writer is gone. With onlyIfProven, only in a folder that a record proves: a
// folder put in the place of a record's one later is not pinfile's to clear.
void RemoveUnneededStagedFiles(int folder, const std::vector<JournalEntry>& entries,
                               bool onlyIfProven = false);

// Opens a folder by its canonical name, following no symbolic link: one put in since the
// operation was queued could lead anywhere (ELOOP).
Status OpenFolderWithoutLinks(const std::string& folder, Descriptor& opened);

}  // namespace pinfile::posix
