// The system's list of operations for the next restart, as the file calls of the Windows
// backend need it, and pinfile's notes of the deletions it queued there.
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

// Records, and drops, that pinfile queued the deletion of the file; and asks whether it did.
void RememberQueuedDeletion(TextView name);
void ForgetQueuedDeletion(TextView name);
bool QueuedDeletionByPinfile(TextView name);

}  // namespace pinfile::win32
