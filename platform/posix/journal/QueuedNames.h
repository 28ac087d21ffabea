// The names that restart records hold: absolute and canonical, every symbolic link resolved
// as it is when the operation is queued, so that the boot follows no link put in later.
#pragma once

#include <string>

#include "../../Status.h"
#include "../../Text.h"

namespace pinfile::posix {

// A copy's target: a link is written through, so this is the file it finally leads to.
Status QueuedTarget(TextView target, std::string& queued);

// A name to delete: a link itself goes, so its folder is resolved and the last component
// kept as it is.
Status QueuedEntry(TextView name, std::string& queued);

}  // namespace pinfile::posix
