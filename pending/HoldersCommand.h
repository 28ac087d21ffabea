// pinfile-pending holders: which processes still run an old version of a file or hold it, with
// their services, as lines or as one JSON document (output/HoldersJson.h; see
// docs/restart-queue.md, "Who still uses the old file").
#pragma once

#include <optional>

#include "platform/CommandLine.h"
#include "platform/Text.h"

namespace pinfile {

// Runs "holders [--json] [NAME...]", the arguments' first word being "holders"; its exit
// status, or none when the rest is not of that form (a usage error).
std::optional<int> HoldersCommand(const ArgumentList& arguments);

}  // namespace pinfile
