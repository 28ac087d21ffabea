// The restart queue as one JSON document, for tools that read it (deployment tools, Ansible):
// see docs/restart-queue.md, "The list as data".
#pragma once

#include <string_view>

#include "platform/LastRestart.h"
#include "platform/PendingQueue.h"
#include "platform/Text.h"

namespace pinfile {

// The schema's name and version, raised whenever a field changes its meaning.
inline constexpr std::string_view kListSchema = "pinfile-pending-list";
inline constexpr int kListSchemaVersion = 1;

// The document for the list and what the last restart did, one line, without a line end.
Text ListAsJson(const PendingList& list, const LastRestart& lastRestart = {});

}  // namespace pinfile
