// The records from which the first run after a restart learns what that restart did: for each
// operation that pinfile queued, what the restart must produce.
#pragma once

#include <windows.h>

#include "../PendingQueue.h"
#include "../Text.h"

namespace pinfile::win32 {

// Records what the restart must leave in the target's place: the staged file's size,
// last-write time and SHA-256, read through the open file as it is queued.
void ExpectReplacement(TextView staged, HANDLE file, TextView target);

// Records that the restart must leave the name without a file.
void ExpectDeletion(TextView name);

// Drops the record of an operation that leaves the list before the restart.
void ForgetExpectation(const PendingOperation& operation);

}  // namespace pinfile::win32
