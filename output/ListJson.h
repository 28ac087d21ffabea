// The restart queue as one JSON document, for tools that read it (deployment tools, Ansible):
// see docs/restart-queue.md, "The list as data".
#pragma once

#include "platform/LastRestart.h"
#include "platform/PendingQueue.h"
#include "platform/Text.h"

namespace pinfile {

// The schema's name and version, raised whenever a field changes its meaning.
inline constexpr const char8_t* kListSchema = u8"pinfile-pending-list";
inline constexpr int kListSchemaVersion = 1;

// The document for the list and what the last restart did, one line, without a line end.
Text ListAsJson(const PendingList& list, const LastRestart& lastRestart = {});

// A JSON string for a name: the name itself when it is valid text; otherwise the list's
// escaped form, with the raw units in hex beside it under the field's name and "_raw".
Text JsonNameField(const char8_t* field, TextView name);

// The JSON string of a name where it stands alone (in an array): the name itself when it is
// valid text, otherwise the list's escaped form.
Text JsonNameValue(TextView name);

// A JSON number.
Text JsonNumber(long long value);

}  // namespace pinfile
