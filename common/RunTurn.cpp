#include "common/RunTurn.h"

#include "output/ErrorLine.h"
#include "platform/Console.h"
#include "platform/LastRestart.h"
#include "platform/RunLock.h"

namespace pinfile {

bool TakeRunTurn() {
    Console& console = TheConsole();
    const Status turn = WaitForOtherRuns([&console] {
        console.WriteErrorLine(FromUtf8(u8"Ожидание завершения другого запуска pinfile…"));
    });
    if (turn.Succeeded()) {
        // Before this run changes anything, the outcome of the last restart is kept.
        NoteLastRestart();
        return true;
    }
    if (turn.OtherRunBusy()) {
        console.WriteErrorLine(FromUtf8(u8"Другой запуск pinfile не завершился за ") +
                               ToDecimal(RunWaitSeconds()) + FromUtf8(u8" с. Ничего не сделано."));
        return false;
    }
    console.WriteErrorLine(FromUtf8(u8"Не удалось дождаться других запусков pinfile. ") +
                           ErrorLine(turn.Code()) + FromUtf8(u8" Ничего не сделано."));
    return false;
}

void TakeRunTurnIfFree() {
    if (WaitForOtherRuns([] {}, WhenBusy::DoNotWait).Succeeded()) NoteLastRestart();
}

}  // namespace pinfile
