// How a run of either program ended, and the exit status that tells the caller so.
#pragma once

namespace pinfile {

enum class Outcome {
    Done,        // the file was copied or deleted at once
    Queued,      // the operation waits for the next restart
    Failed,      // the command failed and said why
    UsageShown,  // the command line was not understood
};

// The exit status of a run whose operation waits for the restart: the platform's own
// "success, restart required" code where it has one (ERROR_SUCCESS_REBOOT_REQUIRED).
inline constexpr int kQueuedExitStatus =
#if defined(_WIN32)
    3010;
#else
    3;
#endif

// The exit status for an outcome. A queued operation gets the platform's own
// "success, restart required" code where it has one.
int ExitStatus(Outcome outcome);

// Exit status of a run ended by a run-time error.
inline constexpr int kRunTimeErrorExitStatus = 70;

}  // namespace pinfile
