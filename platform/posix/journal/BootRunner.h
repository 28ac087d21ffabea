// The boot-time runner of the POSIX restart queue. It carries out one record at a time, and
// only after proving that every file and folder the record names is the one that was queued:
// a folder by identity and reached without following a link, the staged file by identity,
// contents, owner, and as the one name of its file.
#pragma once

#include <string>
#include <vector>

#include "../../PendingQueue.h"
#include "../Durable.h"
#include "../FileCopy.h"
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

// The names of the staged files that the open records of the entries need: a record that
// waits, or failed or was refused at a boot, keeps its staged file until it is carried out or
// withdrawn, whatever its folder's identity says today, so its name counts in every folder.
NeededNames StagedNamesNeeded(const std::vector<JournalEntry>& entries);

// Opens a folder by its canonical name, following no symbolic link: one put in since the
// operation was queued could lead anywhere (ELOOP).
Status OpenFolderWithoutLinks(const std::string& folder, Descriptor& opened);

}  // namespace pinfile::posix
