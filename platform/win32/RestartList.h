// The system's list of operations for the next restart, as the file calls of the Windows
// backend need it.
#pragma once

#include <windows.h>

#include <vector>

#include "../PendingQueue.h"
#include "../Status.h"
#include "../Text.h"
#include "RestartListFormat.h"
#include "Win32.h"

namespace pinfile::win32 {

// Makes the operation that MoveFileExW has just added to the list last: writes the list to
// disk, and when that fails takes the operation out again, so that a failure leaves nothing
// queued; mayStay tells when even that failed. The target is empty for a deletion.
Status KeepQueuedOperation(TextView source, TextView target, bool& mayStay);

// Whether a name of the restart list may be the command's file by its last component alone
// (taken from its full path, which drops "." and "..", trailing dots and spaces): one of the
// names the file has in its folder (its long name, its 8.3 name), letter case aside, or a
// pattern that the folder's search may match against them. The list names the file only by
// its normal name, or by its folder's identity and its long name, so every such name has as
// last component the long name or, spelled as the folder lists it, the 8.3 name: a name that
// is neither can be told apart without opening its folder.
bool MayNameFile(TextView listedLeaf, const std::vector<Text>& fileNames);

// Whether the full-path rule leaves a last component as it is spelled, so that the system need
// not be asked. It drops trailing dots and spaces, resolves "." and "..", reads "C:name"
// against the drive's folder and turns a DOS device name (CON, NUL, COM1 ..., with any
// extension) into the device: a component that could be any of these is not kept.
bool FullPathKeepsComponent(TextView component);

// Opens the machine-wide lock that keeps runs apart; fails when it cannot be had, for example
// when it exists but this user may not use it, or another kind of object took its name.
Status OpenRunLock(OwnedHandle& lock);

// Creates a staged file in the folder, which only Administrators and SYSTEM may write or
// delete, so that no other user who may create files there can change it while it waits; it
// stays open in file, and goes when that handle closes unless SetDeleteOnClose says otherwise.
// pinfile's staging record names it from before it exists until ForgetStagingRecord, with its
// identity once it exists. Its name, or empty when none can be had (error: why, 0 when every
// number is taken).
Text CreateStagedFileIn(TextView folder, TextView prefix, OwnedHandle& file, DWORD& error);

// Whether the open file goes when its last handle closes.
Status SetDeleteOnClose(HANDLE file, bool deleted);

// Drops the staging record of a staged file that the restart list now holds, or that is gone.
void ForgetStagingRecord(TextView name);

// Deletes what runs that ended before queueing their staged file (a power loss) left behind:
// each file that a staging record names and proves, by its identity, to be the one created
// there, unless the restart list uses it. Nothing else. Only while this run holds the run lock,
// so that no other run is still at work.
void SweepStagingLeftovers();

// Copies the source's bytes into the open file.
Status CopyInto(TextView source, HANDLE file);

// Records beside the restart list (in pinfile's own registry key) which file the staged file
// is (volume serial number and file index) and what it holds (size and last-write time), as
// the open file has them now.
Status RememberStagedFile(TextView name, HANDLE file);

// Drops that record, once the staged file is no longer waiting.
void ForgetStagedFile(TextView name);

// Records, and drops, that pinfile queued the deletion of the file; and asks whether it did.
void RememberQueuedDeletion(TextView name);
void ForgetQueuedDeletion(TextView name);
bool QueuedDeletionByPinfile(TextView name);

// Whether the staged file named in the list is still the one pinfile wrote; Unchecked for
// one that pinfile has no record of, which is no staged file of pinfile's whatever its name.
PendingOperation::StagedState CheckStagedFile(TextView name);

// Deletes the staged file when pinfile's record names it and it is still the file pinfile
// wrote; true when it went. Any other file of that name stays.
bool DeleteStagedFile(TextView name);

}  // namespace pinfile::win32
