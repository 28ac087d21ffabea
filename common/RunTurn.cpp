#include "common/RunTurn.h"

#include "output/ErrorLine.h"
#include "platform/Console.h"
#include "platform/LastRestart.h"
#include "platform/PendingQueue.h"

namespace pinfile {

bool TakeRunTurn() {
    Console& console = TheConsole();
    const RunTurn turn = WaitForOtherRuns([&console] {
        console.WriteErrorLine(FromUtf8(u8"Ожидание завершения другого запуска pinfile…"));
    });
    switch (turn.kind) {
        case RunTurn::Kind::Taken:
            // Before this run changes anything, the outcome of the last restart is kept.
            NoteLastRestart();
            return true;
        case RunTurn::Kind::TimedOut:
            console.WriteErrorLine(FromUtf8(u8"Другой запуск pinfile не завершился за ") +
                                   ToDecimal(RunWaitSeconds()) +
                                   FromUtf8(u8" с. Ничего не сделано."));
            return false;
        case RunTurn::Kind::Refused:
            break;
    }
    console.WriteErrorLine(FromUtf8(u8"Не удалось дождаться других запусков pinfile. ") +
                           ErrorLine(turn.error) + FromUtf8(u8" Ничего не сделано."));
    return false;
}

void TakeRunTurnIfFree() {
    const RunTurn turn = WaitForOtherRuns([] {}, WhenBusy::DoNotWait);
    if (turn.kind == RunTurn::Kind::Taken) NoteLastRestart();
}

}  // namespace pinfile
