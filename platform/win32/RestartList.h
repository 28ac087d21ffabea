// The system's list of operations for the next restart, as the file calls of the Windows
// backend need it.
#pragma once

#include "../Status.h"
#include "../Text.h"

namespace pinfile::win32 {

// Makes the operation that MoveFileExW has just added to the list last: writes the list to
// disk, and when that fails takes the operation out again, so that a failure leaves nothing
// queued. The target is empty for a deletion.
Status KeepQueuedOperation(TextView source, TextView target);

}  // namespace pinfile::win32
