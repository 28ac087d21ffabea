// Internal to the file commands: the held error code and the two ways a command ends with
// words.
#pragma once

#include "platform/Outcome.h"
#include "platform/Text.h"

namespace pinfile {

void HoldErrorCode(ErrorCode code);

// Writes one line and ends the command with the outcome.
Outcome Say(const char8_t* line, Outcome outcome);

// Writes the three-line failure report for the held code and ends the command as failed.
Outcome ReportAndFail(const char8_t* message);

}  // namespace pinfile
