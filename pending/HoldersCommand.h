// pinfile-pending holders: which processes still run an old version of a file or hold it, with
// their services, as lines or as one JSON document (output/HoldersJson.h; see
// docs/restart-queue.md, "Who still uses the old file").
#pragma once

#include <optional>

#include <vector>

#include "platform/CommandLine.h"
#include "platform/Holders.h"
#include "platform/Text.h"

namespace pinfile {

// The report as lines: one per process, whatever order the system told its files in, then its
// services and what the answer lacks.
std::vector<Text> HolderLines(const HolderReport& report);

// Runs "holders [--json] [NAME...]", the arguments' first word being "holders"; its exit
// status, or none when the rest is not of that form (a usage error).
std::optional<int> HoldersCommand(const ArgumentList& arguments);

}  // namespace pinfile
