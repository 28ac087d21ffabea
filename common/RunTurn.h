// Both programs wait for other runs the same way: they say so once, and give up in the end.
#pragma once

namespace pinfile {

// Waits for the other runs of pinfile and pinfile-pending on this machine. Says on standard
// error that it waits, when it has to; false, said on standard error too, when the wait ran
// out or the lock may not be used: the run then changes nothing and ends with a failure.
bool TakeRunTurn();

// Takes the turn only when no other run is at work, without a word either way: a run that
// only reads goes on without it when it is busy or may not be used. With the turn it keeps the
// last restart's outcome, as every run that takes it does.
void TakeRunTurnIfFree();

}  // namespace pinfile
