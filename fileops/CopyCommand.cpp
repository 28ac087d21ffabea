#include "common/RunTurn.h"
#include "fileops/CommandEndings.h"
#include "fileops/FileOps.h"
#include "platform/FileSystem.h"
#include "platform/StagedFile.h"
#include "platform/UtilityLibrary.h"

namespace pinfile {

namespace {

bool Coincide(TextView source, TextView target) {
    return NamesMatch(source, target) || SameFile(source, target);
}

}  // namespace

Outcome CopyCommand(const Text& source, Text target) {
    // Other pinfile runs finish first: their short hold of a file is not "in use".
    if (!TakeRunTurn()) return Outcome::Failed;

    // 1. The source must be there.
    if (!FileExists(source)) return EndWith(u8"Файл не найден.", Outcome::Failed);

    // 2. Never copy a file onto itself, whether the names are equal or only lead to one file.
    constexpr const char8_t* kCoincide = u8"Файлы совпадают. Так делать не стоит!";
    if (Coincide(source, target)) return EndWith(kCoincide, Outcome::Failed);

    // 3. No target: the system folder under the source's own name. It may be the source itself.
    if (target.empty()) {
        const Text systemPath = ulGetSystemPath();
        target = ulBuildFileName(systemPath, ulGetFileName(source));
        if (SameFile(source, target)) return EndWith(kCoincide, Outcome::Failed);
    }

    // 4. Copy at once. Only a target that is in use waits for the restart; any other
    // failure would be queued for nothing. Nothing queued earlier may undo the copy.
    const Status direct = CopyFileNow(source, target);
    HoldErrorCode(direct.Code());
    if (direct.Succeeded()) {
        WithdrawUndoing(LaterCommand::Copy, target);
        return EndWith(u8"Файл успешно скопирован.", Outcome::Done);
    }
    if (!direct.InUseNow()) return EndWithFailureReport(u8"Не удалось скопировать файл.");

    // 5. Stage next to the target: the restart replaces it by a rename, which cannot cross
    // volumes.
    // The staged file goes again on every way out but a queued replacement.
    constexpr const char8_t* kStagingFailed =
        u8"Не удалось скопировать исходный файл во временный каталог.";
    StagedFile staged = CreateStagedFile(target, FromUtf8(kStagedPrefix));
    if (staged.NoNameLeft()) {
        return EndWith(u8"Не удалось получить имя временного файла.", Outcome::Failed);
    }
    // A staged file that the system refused is the staging's failure, with its code.
    if (staged.Failure().Failed()) {
        HoldErrorCode(staged.Failure().Code());
        return EndWithFailureReport(kStagingFailed);
    }

    // 6. The staged copy.
    const Status staging = CopyIntoStagedFile(source, staged);
    HoldErrorCode(staging.Code());
    if (!staging.Succeeded()) return EndWithFailureReport(kStagingFailed);

    // 7. Schedule the staged file to replace the target at the next restart, in place of
    // whatever was queued for the target before.
    const Status scheduling = ScheduleReplaceAtRestart(staged);
    HoldErrorCode(scheduling.Code());
    if (!scheduling.Succeeded()) {
        // What may still be carried out keeps its staged file, so that it never points at
        // nothing.
        if (scheduling.MayStillBeQueued()) staged.Keep();
        WarnIfStillQueued(scheduling);
        return EndWithFailureReport(u8"Файл не удалось поставить в очередь на копирование.");
    }
    staged.Keep();
    WithdrawUndoing(LaterCommand::Copy, target, staged.Name());
    return EndWith(u8"Файл успешно поставлен в очередь на копирование.", Outcome::Queued);
}

}  // namespace pinfile
