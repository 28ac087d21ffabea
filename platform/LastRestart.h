// What the last restart did with the operations that pinfile had queued for it. Windows carries
// its list out silently and forgets what failed, and the POSIX boot runs unattended, so this is
// kept for the runs after the restart: pinfile-pending list tells it until the next restart.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "PendingQueue.h"
#include "Text.h"

namespace pinfile {

struct LastRestart {
    // What pinfile found of an operation that the restart did not carry out.
    enum class Why {
        StagedFileMissing,   // the staged file was gone, and the target is not its copy
        TargetUnchanged,     // the staged file is still there, and the target is not its copy
        TargetStillPresent,  // the file to delete is still there
        Failed,              // the boot tried and failed, with error (POSIX)
    };
    struct NotCarriedOut {
        PendingOperation operation;  // kind, source and target as the list shows them
        Why why = Why::Failed;
        ErrorCode error = 0;
    };
    std::int32_t carriedOut = 0;
    std::vector<NotCarriedOut> notCarriedOut;
};

// The outcome of the last restart as pinfile found it after it; empty (nothing carried out,
// nothing missed) when no operation of pinfile's waited for that restart.
LastRestart ReadLastRestart();

// Windows: the first run after a restart checks what that restart did with pinfile's queued
// operations and keeps the outcome; every later run of the same boot finds it kept and does
// nothing. Called by every run that may change the queue, before it does, while it holds the
// run lock. POSIX: nothing to do, as apply keeps the outcome of the boot.
void NoteLastRestart();

// The outcome as text units and back, the form in which both builds keep it: fields ended by
// NUL, which no file name holds. nullopt for units that are not such a record.
Text EncodeLastRestart(const LastRestart& outcome);
std::optional<LastRestart> DecodeLastRestart(TextView units);

}  // namespace pinfile
