// The run lock: one run of pinfile or pinfile-pending at work on this machine at a time.
#pragma once

#include <functional>

#include "Status.h"

namespace pinfile {

// How long a run waits for the others before it gives up: ten minutes. A test may shorten it
// with PINFILE_TEST_RUN_WAIT (seconds).
int RunWaitSeconds();

// What a run does when another run is at work: waits for it, or goes on at once without the
// turn (OtherRunBusy, and waiting is never called).
enum class WhenBusy { Wait, DoNotWait };

// Waits until no other run of pinfile or pinfile-pending on this machine is at work, and
// keeps the others waiting until this process ends, so that runs never take each other's
// short hold of a file for "in use" and edit the queue one at a time. When it has to wait it
// calls waiting once, and waits RunWaitSeconds at most. A POSIX run that is not root and
// cannot open the lock goes on without it; it cannot edit the queue either. Runs that only
// read the queue need not wait: they may take the turn only when it is free.
// On Windows, a run that takes the turn also deletes the staged files that runs ended by a
// power loss left, each proven pinfile's by its staging record: only the turn's holder may.
// Success: the turn is this run's. A failure that is OtherRunBusy: another run held the lock
// all the while. Any other failure: the lock cannot be used (it is not the lock pinfile makes,
// or the system refused it, for the reason the code gives); waiting would not change that.
Status WaitForOtherRuns(const std::function<void()>& waiting, WhenBusy whenBusy = WhenBusy::Wait);

}  // namespace pinfile
