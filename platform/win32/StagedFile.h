// What the rest of the Windows backend asks of pinfile's records of its staged files
// (StagedFile.cpp): the restart list's reader and editor, and the run lock.
#pragma once

#include "../PendingQueue.h"
#include "../Text.h"

namespace pinfile::win32 {

// Deletes what runs that ended before queueing their staged file (a power loss) left behind:
// each file that a staging record names and proves, by its identity, to be the one created
// there, unless the restart list uses it. Nothing else. Only while this run holds the run lock,
// so that no other run is still at work.
void SweepStagingLeftovers();

// Drops pinfile's record of a staged file, once it is no longer waiting.
void ForgetStagedFile(TextView name);

// Whether the staged file named in the list is still the one pinfile wrote; Unchecked for
// one that pinfile has no record of, which is no staged file of pinfile's whatever its name.
PendingOperation::StagedState CheckStagedFile(TextView name);

// Deletes the staged file when pinfile's record names it and it is still the file pinfile
// wrote; true when it went. Any other file of that name stays.
bool DeleteStagedFile(TextView name);

}  // namespace pinfile::win32
