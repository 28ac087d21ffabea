// The two file commands and the routines they share.
#pragma once

#include "common/Outcome.h"
#include "platform/Text.h"

namespace pinfile {

// True when a directory entry answers to the name.
bool FileExists(TextView name);

// Writes the message, an empty line and the error line for the held system error code.
void ReportFailure(TextView message);

// Copies the source to the target (the system folder under the source's own name when the
// target is empty), or stages it to replace the target at the next restart.
Outcome CopyCommand(const Text& source, Text target);

// Deletes the file, or schedules its deletion at the next restart.
Outcome DeleteCommand(const Text& name);

}  // namespace pinfile
