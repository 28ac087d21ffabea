// Both programs wait for other runs the same way: they say so once, and give up in the end.
#pragma once

namespace pinfile {

// Waits for the other runs of pinfile and pinfile-pending on this machine. Says on standard
// error that it waits, when it has to; false, said on standard error too, when the wait ran
// out or the lock may not be used: the run then changes nothing and ends with a failure.
bool TakeRunTurn();

}  // namespace pinfile
