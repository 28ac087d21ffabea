// The whole life of either program's process.
#pragma once

namespace pinfile {

// Starts the process, runs the body inside the one handler that reports an unhandled
// run-time error on standard error, and gives the exit status.
int RunProgram(int argc, char** argv, int (*body)());

}  // namespace pinfile
