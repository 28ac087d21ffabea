// pinfile-pending: shows the operations that wait for the next restart and, on POSIX,
// carries them out at boot.
#pragma once

namespace pinfile {

// Runs one command of pinfile-pending; the exit status.
int PendingMain();

}  // namespace pinfile
