// The holders' answer as one JSON document, for tools that read it (Ansible): see
// docs/restart-queue.md, "Who still uses the old file".
#pragma once

#include <string_view>

#include "platform/Holders.h"
#include "platform/Text.h"

namespace pinfile {

inline constexpr std::string_view kHoldersSchema = "pinfile-pending-holders";
inline constexpr int kHoldersSchemaVersion = 1;

// The document for the report, one line, without a line end.
Text HoldersAsJson(const HolderReport& report);

}  // namespace pinfile
