// The operations that wait for the next restart: the system's own list on Windows, the
// journal on POSIX, read and (on POSIX) carried out as one task each.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "Text.h"

namespace pinfile {

struct PendingOperation {
    enum class Kind {
        Replace,  // the source replaces the target
        Move,     // the source moves to the target, which must not exist (Windows only)
        Delete,   // the source is deleted
        Damaged,  // bytes of the queue that hold no sound operation
    };
    Kind kind = Kind::Delete;
    Text source;
    Text target;             // empty for a deletion
    std::size_t offset = 0;  // where damaged bytes start
    std::size_t size = 0;    // how many bytes are damaged
};

struct PendingList {
    ErrorCode error = 0;  // the queue could not be read
    std::vector<PendingOperation> operations;
};

// Every waiting operation, in the order the restart will carry them out.
PendingList ReadPendingOperations();

struct AppliedOperation {
    enum class Result {
        Done,
        AlreadyDone,  // found carried out already (a run before a crash did it)
        Failed,
        Refused,  // a name that is not absolute
        Skipped,  // damaged bytes
    };
    PendingOperation operation;
    Result result = Result::Done;
    ErrorCode error = 0;  // for Failed
};

struct ApplyOutcome {
    enum class Kind {
        Finished,      // everything was tried and the queue is empty now
        Insecure,      // the queue may have been written by someone but root: nothing done
        Failed,        // the queue could not be read (nothing done) or emptied
        NotSupported,  // the system carries out its own queue
    };
    Kind kind = Kind::Finished;
    ErrorCode error = 0;  // for Failed
    Text where;           // the queue's place, for messages
};

// Carries out the queue in order, telling each operation's result as it goes, and empties
// the queue when it has finished. Safe to run again after a crash in the middle.
ApplyOutcome ApplyPendingOperations(const std::function<void(const AppliedOperation&)>& tell);

}  // namespace pinfile
