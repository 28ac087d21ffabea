// The operations that wait for the next restart: the system's own list on Windows, the
// journal on POSIX, read and (on POSIX) carried out as one task each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "Status.h"
#include "Text.h"

namespace pinfile {

struct PendingOperation {
    enum class Kind {
        Replace,        // the source replaces the target
        Move,           // the source moves to the target, which must not exist (Windows only)
        Delete,         // the source is deleted
        Damaged,        // bytes of the queue that hold no sound operation
        NotUnderstood,  // a pair of the system's list in a form not known here, kept raw
    };
    Kind kind = Kind::Delete;
    Text source;
    Text target;             // empty for a deletion
    std::size_t offset = 0;  // where damaged bytes start
    std::size_t size = 0;    // how many bytes are damaged
    // The error with which the last boot failed to carry it out; zero when it was not tried.
    ErrorCode lastError = 0;
    // Queued without a record of the files it names (by an earlier version), so the boot
    // carries it out without checking them.
    bool unchecked = false;
    // For a replacement whose staged file pinfile made and recorded: whether it is still the
    // file pinfile wrote.
    enum class StagedState { Unchecked, Intact, Missing, Changed };
    StagedState staged = StagedState::Unchecked;
    // pinfile queued it (on Windows the list holds other programs' operations too).
    bool byPinfile = false;
    // Where the system keeps it: on Windows the registry value's name; empty on POSIX.
    Text place;
};

struct PendingList {
    Status status;  // the queue could not be read
    std::vector<PendingOperation> operations;
    // The queue may have been written by someone but root (POSIX): the boot refuses it whole.
    bool insecure = false;
    Text where;  // the queue's place, for messages
};

// Every waiting operation, in the order the restart will carry them out.
PendingList ReadPendingOperations();

// The command that has just been carried out, or queued, on a file.
enum class LaterCommand { Copy, Delete };

// Whether the restart would carry out the operation against a later command on a file: put
// another file in its place or take it away to another name (a replacement or move onto it or
// from it), or, after a copy, delete it. isTheFile tells, by the system's own means, whether a
// name of the queue is the command's file. The replacement whose staged file is ownStaged (the
// command's own, just queued) is no such operation.
bool UndoesLaterCommand(LaterCommand command, const PendingOperation& operation, TextView ownStaged,
                        const std::function<bool(TextView)>& isTheFile);

struct Withdrawal {
    Status status;                            // the queue could not be read or edited
    std::vector<PendingOperation> withdrawn;  // taken out of the queue
    std::vector<PendingOperation> remaining;  // would undo the command, but stay queued
};

// Withdraws every waiting operation that the restart would carry out against the later
// command on the named file: for a copy, its deletion and every replacement or move onto it;
// for a deletion, every replacement or move onto it. Names are compared in the system's
// normal form. The operation that queuedStaged names (the command's own, just queued) stays.
// A withdrawn replacement's staged file goes too when pinfile made it.
Withdrawal WithdrawUndoingOperations(LaterCommand command, TextView name, TextView queuedStaged);

struct Cancellation {
    enum class Kind {
        Cancelled,
        NoSuchOperation,
        Damaged,  // the number names damaged bytes, which the boot skips anyway
        Failed,   // the queue could not be read or edited
    };
    Kind kind = Kind::Failed;
    Status status;               // for Failed
    PendingOperation operation;  // the one cancelled
};

// Withdraws the operation that ReadPendingOperations lists at the 1-based number, with the
// staged file pinfile made for it.
Cancellation CancelPendingOperation(std::int32_t number);

struct AppliedOperation {
    enum class Result {
        Done,
        AlreadyDone,  // found carried out already (a run before a crash did it)
        Failed,
        Refused,   // a name that is not absolute
        Mismatch,  // a file or folder is not the one that was queued, or a link was put in
        Skipped,   // damaged bytes
    };
    PendingOperation operation;
    Result result = Result::Done;
    ErrorCode error = 0;  // for Failed and Mismatch
};

struct ApplyOutcome {
    enum class Kind {
        Finished,      // everything was tried; what failed waits for the next boot
        Insecure,      // the queue may have been written by someone but root: nothing done
        Failed,        // the queue could not be read (nothing done) or emptied
        NotSupported,  // the system carries out its own queue
    };
    Kind kind = Kind::Finished;
    Status status;  // for Failed
    Text where;     // the queue's place, for messages
};

// Carries out the queue in order, telling each operation's result as it goes. Each result is
// on disk before the next operation begins, so a run after a crash at any point carries out
// what is left and nothing twice. What failed stays queued, with its error, for the next boot.
ApplyOutcome ApplyPendingOperations(const std::function<void(const AppliedOperation&)>& tell);

}  // namespace pinfile
