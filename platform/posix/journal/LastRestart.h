// Where apply keeps what the boot did: the file last-restart beside the journal, written
// durably, owned by root and readable by root alone, for the boot whose id it carries.
#pragma once

#include "../../LastRestart.h"
#include "../../Status.h"

namespace pinfile::posix {

// Adds the result of one operation that apply tried to the outcome; damaged bytes, which name
// no operation, are not counted.
void CountApplied(LastRestart& outcome, const AppliedOperation& applied);

// Keeps the outcome of this run of apply for this boot, in place of what an earlier run kept.
Status KeepLastRestart(const LastRestart& outcome);

}  // namespace pinfile::posix
