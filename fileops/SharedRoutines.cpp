#include "fileops/CommandEndings.h"

#include "fileops/FileOps.h"
#include "output/ErrorLine.h"
#include "output/QueueWording.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "platform/UtilityLibrary.h"

namespace pinfile {

namespace {

// Saved right after each copy, move or delete call, before anything else runs; directory
// searches and console output leave it alone.
ErrorCode heldErrorCode = 0;

}  // namespace

void HoldErrorCode(ErrorCode code) { heldErrorCode = code; }

bool FileExists(TextView name) { return FindEntry(name); }

void ReportFailure(TextView message) {
    Console& console = TheConsole();
    console.WriteLine(message, kOrdinaryLine);
    console.WriteLine(Text(), kOrdinaryLine);
    console.WriteLine(ErrorLine(heldErrorCode), kOrdinaryLine);
}

void WithdrawUndoing(LaterCommand command, TextView name, TextView queuedStaged) {
    const Withdrawal withdrawal = WithdrawUndoingOperations(command, name, queuedStaged);
    Console& console = TheConsole();
    for (const PendingOperation& operation : withdrawal.withdrawn) {
        console.WriteErrorLine(WithdrawnLine(operation));
    }
    if (withdrawal.status.Succeeded()) return;
    for (const PendingOperation& operation : withdrawal.remaining) {
        console.WriteErrorLine(
            FromUtf8(u8"Не удалось отменить, будет выполнено при перезагрузке: ") +
            DescribeOperation(operation) + FromUtf8(u8". ") + ErrorLine(withdrawal.status.Code()));
    }
    if (withdrawal.remaining.empty()) {
        console.WriteErrorLine(
            FromUtf8(u8"Не удалось проверить очередь операций на перезагрузку. ") +
            ErrorLine(withdrawal.status.Code()));
    }
}

void WarnIfStillQueued(const Status& scheduling) {
    if (!scheduling.MayStillBeQueued()) return;
    TheConsole().WriteErrorLine(
        FromUtf8(u8"Операция может быть всё же выполнена при перезагрузке. ") +
        ErrorLine(scheduling.Code()));
}

Outcome EndWith(const char8_t* line, Outcome outcome) {
    try {
        TheConsole().WriteLine(FromUtf8(line), kOrdinaryLine);
    } catch (...) {
        // The run ends with a run-time error, but what was done is told where it still can be.
        if (outcome == Outcome::Done || outcome == Outcome::Queued) {
            TheConsole().WriteErrorLine(FromUtf8(line));
        }
        throw;
    }
    return outcome;
}

Outcome EndWithFailureReport(const char8_t* message) {
    ReportFailure(FromUtf8(message));
    return Outcome::Failed;
}

}  // namespace pinfile
