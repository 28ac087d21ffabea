// The file-system work the commands ask for. Each entry point does one whole task with the
// same meaning on every platform; whether it failed, with which system code, and whether only
// because the file is in use right now, crosses this line as a Status. The staged file for a
// copy that waits for the restart has a header of its own (StagedFile.h).
#pragma once

#include "Status.h"
#include "Text.h"

namespace pinfile {

// True when a directory entry answers to the name (a directory counts; on Windows so does a
// wildcard that matches something). An empty name finds nothing.
bool FindEntry(TextView name);

// True when the two names are the same text by the platform's rules for file names
// (letter case ignored on Windows, exact on POSIX).
bool NamesMatch(TextView first, TextView second);

// True when both names exist and lead to the same file.
bool SameFile(TextView first, TextView second);

// Copies a file over the target, replacing it whole or not at all. A target that another
// process holds right now fails with InUseNow: only such a copy may wait for the restart.
Status CopyFileNow(TextView source, TextView target);

// The name by which the restart queue knows the file, taken while the file is still there:
// once it is gone, an 8.3 name can no longer be told apart from a long one on Windows.
Text QueueNameOf(TextView name);

// Deletes a file; never a directory. A file held right now fails with InUseNow.
Status DeleteFileNow(TextView name);

// Whether a copy onto the file would find it in use right now, by the rule CopyFileNow
// judges it with (a link is followed as a copy writes through it), without changing it:
// InUseNow when another process holds it, an error when the question cannot be asked.
Status ProbeInUse(TextView name);

// Asks the system to delete the file at the next restart. A failure may be MayStillBeQueued.
Status ScheduleDeleteAtRestart(TextView name);

}  // namespace pinfile
