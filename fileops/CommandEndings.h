// Internal to the file commands: the held error code and the two ways a command ends with
// words.
#pragma once

#include "common/Outcome.h"
#include "platform/PendingQueue.h"
#include "platform/Status.h"
#include "platform/Text.h"

namespace pinfile {

void HoldErrorCode(ErrorCode code);

// Takes out of the restart queue whatever would undo the command just carried out or queued
// on the file, and tells each such operation on standard error. The command's own output is
// left as it is.
void WithdrawUndoing(LaterCommand command, TextView name, TextView queuedStaged = {});

// A scheduling that failed but may still be carried out at the restart is said so on standard
// error, with its code, before the failure report.
void WarnIfStillQueued(const Status& scheduling);

// Writes one line and ends the command with the outcome.
Outcome EndWith(const char8_t* line, Outcome outcome);

// Writes the three-line failure report for the held code and ends the command as failed.
Outcome EndWithFailureReport(const char8_t* message);

}  // namespace pinfile
