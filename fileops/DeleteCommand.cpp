#include "common/RunTurn.h"
#include "fileops/CommandEndings.h"
#include "fileops/FileOps.h"
#include "platform/FileSystem.h"

namespace pinfile {

Outcome DeleteCommand(const Text& name) {
    // Other pinfile runs finish first: their short hold of a file is not "in use".
    if (!TakeRunTurn()) return Outcome::Failed;

    // 1. The file must be there.
    if (!FileExists(name)) return EndWith(u8"Файл не найден.", Outcome::Failed);

    // 2. Delete at once. Only a file that is in use waits for the restart; any other
    // failure would be queued for nothing. Nothing queued earlier may bring the file back.
    const Text known = QueueNameOf(name);
    const Status deletion = DeleteFileNow(name);
    HoldErrorCode(deletion.Code());
    if (deletion.Succeeded()) {
        WithdrawUndoing(LaterCommand::Delete, known);
        return EndWith(u8"Файл успешно удалён.", Outcome::Done);
    }
    if (!deletion.InUseNow()) return EndWithFailureReport(u8"Не удалось удалить файл.");

    // 3. Schedule the deletion at the next restart.
    const Status scheduling = ScheduleDeleteAtRestart(name);
    HoldErrorCode(scheduling.Code());
    if (scheduling.Succeeded()) {
        WithdrawUndoing(LaterCommand::Delete, known);
        return EndWith(u8"Файл успешно поставлен в очередь на удаление.", Outcome::Queued);
    }

    // 4. The system refused to schedule it.
    WarnIfStillQueued(scheduling);
    return EndWithFailureReport(u8"Файл не удалось поставить в очередь на удаление.");
}

}  // namespace pinfile
