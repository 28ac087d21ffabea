// The system's list of operations for the next restart, as the file calls of the Windows
// backend need it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

#include "../PendingQueue.h"
#include "../Status.h"
#include "../Text.h"
#include "Win32.h"

namespace pinfile::win32 {

// Makes the operation that MoveFileExW has just added to the list last: writes the list to
// disk, and when that fails takes the operation out again, so that a failure leaves nothing
// queued; mayStay tells when even that failed. The target is empty for a deletion.
Status KeepQueuedOperation(TextView source, TextView target, bool& mayStay);

// A name of the list without the prefix of the internal form ("\??\", or "\\?\" that a
// program may have passed through); "\??\UNC\" stands for "\\".
Text PlainListName(TextView name);

// One value of the list (PendingFileRenameOperations or ...2) as its strings. Every NUL ends
// a string, so the NUL that closes the list reads as a last empty string.
std::vector<Text> SplitListStrings(const std::vector<wchar_t>& data);

// Where the value's pairs end: at the empty source that closes the list, or at the end.
std::size_t ListOperationsEnd(const std::vector<Text>& strings);

// One pair of the list as the boot reads it. An empty target deletes the source; a target
// marked "!" is replaced, any other is moved to. A name in a form the boot would not find is
// kept raw as NotUnderstood.
PendingOperation OperationOfPair(const Text& source, const Text& target);

}  // namespace pinfile::win32

namespace pinfile::win32 {

// Opens the machine-wide lock that keeps runs apart; fails when it cannot be had, for example
// when it exists but this user may not use it, or another kind of object took its name.
Status OpenRunLock(OwnedHandle& lock);

// Creates a staged file in the folder, which only Administrators and SYSTEM may write or
// delete, so that no other user who may create files there can change it while it waits; it
// stays open in file. Its name, or empty when none can be had (error: why, 0 when every
// number is taken).
Text CreateStagedFileIn(TextView folder, TextView prefix, OwnedHandle& file, DWORD& error);

// Copies the source's bytes into the open file.
Status CopyInto(TextView source, HANDLE file);

// Records beside the restart list (in pinfile's own registry key) what the staged file holds:
// its size and last-write time, as the open file has them now.
Status RememberStagedFile(TextView name, HANDLE file);

// Drops that record, once the staged file is no longer waiting.
void ForgetStagedFile(TextView name);

// Records, and drops, that pinfile queued the deletion of the file; and asks whether it did.
void RememberQueuedDeletion(TextView name);
void ForgetQueuedDeletion(TextView name);
bool QueuedDeletionByPinfile(TextView name);

// Whether the staged file named in the list is still the one pinfile wrote; Unchecked for
// one that pinfile has no record of.
PendingOperation::StagedState CheckStagedFile(TextView name);

}  // namespace pinfile::win32
