#include "pending/PendingMain.h"

#include <vector>

#include "common/Outcome.h"
#include "common/RunTurn.h"
#include "output/ErrorLine.h"
#include "output/LastRestartLines.h"
#include "output/ListJson.h"
#include "output/QueueWording.h"
#include "pending/HoldersCommand.h"
#include "platform/CommandLine.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
#include "platform/PendingQueue.h"

namespace pinfile {

namespace {

void Show(const Text& line) { TheConsole().WriteLine(line, kOrdinaryLine); }

// What list and apply say when nothing waits for the restart.
constexpr const char8_t* kEmptyQueueLine = u8"Очередь операций на перезагрузку пуста.";

void ShowPendingUsage() {
    constexpr const char8_t* kLines[] = {
        u8"Использование:",
        u8"",
        u8"    pinfile-pending list      - показать операции, ожидающие перезагрузки.",
        u8"    pinfile-pending list --json - то же в формате JSON для программ.",
        u8"    pinfile-pending apply     - выполнить их (при загрузке системы, только POSIX).",
        u8"    pinfile-pending cancel N  - отменить операцию с номером N из списка.",
        u8"    pinfile-pending cancel ИМЯ - отменить все операции с этим файлом.",
        u8"                                 Имя файла из одних цифр пишите с путём: ./1.",
        u8"    pinfile-pending held ИМЯ  - проверить, занят ли файл другим процессом.",
        u8"    pinfile-pending holders [--json] [ИМЯ...] - кто держит старые версии файлов.",
        u8"    pinfile-pending --help    - показать эту справку.",
        u8"    pinfile-pending --version - показать версию.",
    };
    for (const char8_t* line : kLines) Show(FromUtf8(line));
}

// An operation as the list shows it: marked when its staged file is gone or changed, and with
// the error it last failed with, or marked as one that the boot carries out without checking
// the files it names.
Text ListLine(const PendingOperation& operation) {
    Text line = DescribeOperation(operation);
    if (operation.staged == PendingOperation::StagedState::Missing) {
        line += FromUtf8(u8" (промежуточный файл отсутствует)");
    } else if (operation.staged == PendingOperation::StagedState::Changed) {
        line += FromUtf8(u8" (промежуточный файл изменён)");
    }
    if (operation.lastError != 0) {
        line += FromUtf8(u8" (не выполнено: ") + ErrorLine(operation.lastError) + FromUtf8(u8")");
    } else if (operation.unchecked) {
        line += FromUtf8(u8" (без проверки)");
    }
    return line;
}

// The line for a queue that the boot refuses whole.
Text RefusalLine(const Text& where) {
    return FromUtf8(u8"Очередь ") + QuotedName(where) +
           FromUtf8(
               u8" отклонена: её владелец не root или в неё могут писать другие. Ничего не "
               u8"выполнено.");
}

// Why the list cannot be shown: the boot refuses the queue, or it could not be read; empty
// when it can.
Text UnreadableListLine(const PendingList& list) {
    if (list.insecure) return RefusalLine(list.where);
    if (list.status.Failed()) {
        return FromUtf8(u8"Не удалось прочитать очередь. ") + ErrorLine(list.status.Code());
    }
    return Text();
}

// The line for a queue that could not be changed, with the system's reason.
Text UnchangedQueueLine(const Status& status) {
    return FromUtf8(u8"Не удалось изменить очередь. ") + ErrorLine(status.Code());
}

// The list as one JSON document; a queue that cannot be read is said on standard error.
int ListJson() {
    const PendingList list = ReadPendingOperations();
    if (const Text failure = UnreadableListLine(list); !failure.empty()) {
        TheConsole().WriteErrorLine(failure);
        return ExitStatus(Outcome::Failed);
    }
    TheConsole().WriteUtf8Line(ListAsJson(list, ReadLastRestart()));
    return ExitStatus(Outcome::Done);
}

int List() {
    const PendingList list = ReadPendingOperations();
    if (const Text failure = UnreadableListLine(list); !failure.empty()) {
        Show(failure);
        return ExitStatus(Outcome::Failed);
    }
    // What the last restart did not carry out comes first, in the same block as the list, so
    // that redirected output takes one encoding for all of it.
    std::vector<Text> lines = NotCarriedOutLines(ReadLastRestart());
    if (list.operations.empty()) {
        lines.push_back(FromUtf8(kEmptyQueueLine));
    }
    std::int32_t number = 0;
    for (const PendingOperation& operation : list.operations) {
        lines.push_back(ToDecimal(++number) + FromUtf8(u8". ") + ListLine(operation));
    }
    TheConsole().WriteLines(lines);
    return ExitStatus(Outcome::Done);
}

Text ResultLine(const AppliedOperation& applied) {
    Text what = DescribeOperation(applied.operation);
    switch (applied.result) {
        case AppliedOperation::Result::Done:
            return FromUtf8(u8"Выполнено: ") + what;
        case AppliedOperation::Result::AlreadyDone:
            return FromUtf8(u8"Уже было выполнено: ") + what;
        case AppliedOperation::Result::Failed:
            return FromUtf8(u8"Не выполнено: ") + what + FromUtf8(u8". ") +
                   ErrorLine(applied.error);
        case AppliedOperation::Result::Refused:
            return FromUtf8(u8"Отклонено (имя не абсолютное): ") + what;
        case AppliedOperation::Result::Mismatch:
            return FromUtf8(u8"Отклонено (не тот файл или папка, что при постановке в очередь): ") +
                   what + FromUtf8(u8". ") + ErrorLine(applied.error);
        case AppliedOperation::Result::Skipped:
            return FromUtf8(u8"Пропущено. ") + what;
    }
    return what;
}

int Apply() {
    bool allDone = true;
    bool anyShown = false;
    const ApplyOutcome outcome = ApplyPendingOperations([&](const AppliedOperation& applied) {
        Show(ResultLine(applied));
        anyShown = true;
        allDone = allDone && (applied.result == AppliedOperation::Result::Done ||
                              applied.result == AppliedOperation::Result::AlreadyDone);
    });
    switch (outcome.kind) {
        case ApplyOutcome::Kind::Finished:
            if (!anyShown) Show(FromUtf8(kEmptyQueueLine));
            return allDone ? ExitStatus(Outcome::Done) : ExitStatus(Outcome::Failed);
        case ApplyOutcome::Kind::Insecure:
            Show(RefusalLine(outcome.where));
            return ExitStatus(Outcome::Failed);
        case ApplyOutcome::Kind::Failed:
            Show(FromUtf8(u8"Не удалось обработать очередь ") + QuotedName(outcome.where) +
                 FromUtf8(u8". ") + ErrorLine(outcome.status.Code()));
            return ExitStatus(Outcome::Failed);
        case ApplyOutcome::Kind::NotSupported:
            Show(FromUtf8(u8"Эту очередь выполняет сама Windows при следующем запуске."));
            return ExitStatus(Outcome::UsageShown);
    }
    return ExitStatus(Outcome::Failed);
}

// The operation number as the list shows it: a plain positive decimal, of at most as many
// digits as always fit in std::int32_t.
std::int32_t OperationNumber(const Text& text) {
    constexpr std::size_t kMostDigits = 9;
    if (text.empty() || text.size() > kMostDigits || text.front() == '0') return 0;
    std::int32_t number = 0;
    for (const NativeChar c : text) {
        if (c < '0' || c > '9') return 0;
        number = number * 10 + static_cast<std::int32_t>(c - '0');
    }
    return number;
}

// Withdraws every operation on the named file, as a later command on it would.
int CancelByName(const Text& name) {
    const Withdrawal withdrawal = WithdrawUndoingOperations(LaterCommand::Copy, name, Text());
    std::vector<Text> lines;
    for (const PendingOperation& operation : withdrawal.withdrawn) {
        lines.push_back(WithdrawnLine(operation));
    }
    if (withdrawal.status.Failed()) {
        lines.push_back(UnchangedQueueLine(withdrawal.status));
    }
    TheConsole().WriteLines(lines);
    if (withdrawal.status.Failed()) return ExitStatus(Outcome::Failed);
    if (!withdrawal.withdrawn.empty()) return ExitStatus(Outcome::Done);
    Show(FromUtf8(u8"Операций с файлом ") + QuotedName(name) + FromUtf8(u8" в очереди нет."));
    return ExitStatus(Outcome::Failed);
}

int Cancel(const Text& argument) {
    const bool number =
        !argument.empty() && argument.find_first_not_of(FromUtf8(u8"0123456789")) == Text::npos;
    if (!number) return CancelByName(argument);
    const Cancellation cancellation = CancelPendingOperation(OperationNumber(argument));
    switch (cancellation.kind) {
        case Cancellation::Kind::Cancelled:
            Show(WithdrawnLine(cancellation.operation));
            return ExitStatus(Outcome::Done);
        case Cancellation::Kind::NoSuchOperation:
            Show(FromUtf8(u8"Операции с номером ") + EscapedName(argument) +
                 FromUtf8(u8" в очереди нет."));
            return ExitStatus(Outcome::Failed);
        case Cancellation::Kind::Damaged:
            Show(FromUtf8(u8"Запись с номером ") + argument +
                 FromUtf8(u8" повреждена; при загрузке она будет пропущена."));
            return ExitStatus(Outcome::Failed);
        case Cancellation::Kind::Failed:
            break;
    }
    Show(UnchangedQueueLine(cancellation.status));
    return ExitStatus(Outcome::Failed);
}

// Whether a copy onto the file now would wait for the restart, told by the exit status that
// the copy would end with (queued, or done at once), so that a tool can predict it.
int Held(const Text& name) {
    const Status probe = ProbeInUse(name);
    if (probe.InUseNow()) {
        Show(FromUtf8(u8"Файл занят другим процессом."));
        return ExitStatus(Outcome::Queued);
    }
    if (!probe.Succeeded()) {
        // The usual failure report: the message, an empty line, the system's error.
        Show(FromUtf8(u8"Не удалось проверить файл."));
        Show(Text());
        Show(ErrorLine(probe.Code()));
        return ExitStatus(Outcome::Failed);
    }
    Show(FromUtf8(u8"Файл не занят."));
    return ExitStatus(Outcome::Done);
}

}  // namespace

int PendingMain() {
    TheConsole().Attach(TheApplication(), kAttachFlag);
    ArgumentList& arguments = TheCommandLine().Arguments();
    const std::int32_t count = arguments.Count();
    const Text command = count >= 1 ? arguments.Item(0) : Text();
    const Text option = count == 2 ? arguments.Item(1) : Text();
    // Words as the platform takes them: letter case ignored on Windows.
    const auto is = [](const Text& given, const char8_t* word) {
        return NamesMatch(given, FromUtf8(word));
    };
    // A list reads the queue as it stands: it never waits for other runs. When none is at work
    // it takes the turn all the same, so that a boot whose only runs are lists still keeps
    // the last restart's outcome once.
    if (count == 1 && is(command, u8"list")) {
        TakeRunTurnIfFree();
        return List();
    }
    if (count == 2 && is(command, u8"list") && is(option, u8"--json")) {
        TakeRunTurnIfFree();
        return ListJson();
    }
    // An empty name is no file to cancel.
    if (count == 2 && is(command, u8"cancel") && !option.empty()) {
        return TakeRunTurn() ? Cancel(option) : ExitStatus(Outcome::Failed);
    }
    if (count >= 1 && is(command, u8"holders")) {
        if (const auto status = HoldersCommand(arguments)) return *status;
        ShowPendingUsage();
        return ExitStatus(Outcome::UsageShown);
    }
    // The probe's own short hold must not make another run's file look in use.
    if (count == 2 && is(command, u8"held")) {
        return TakeRunTurn() ? Held(option) : ExitStatus(Outcome::Failed);
    }
    if (count == 1 && is(command, u8"apply")) {
        return TakeRunTurn() ? Apply() : ExitStatus(Outcome::Failed);
    }
    if (count == 1 && (is(command, u8"--help") || command == FromUtf8(u8"/?"))) {
        ShowPendingUsage();
        return ExitStatus(Outcome::Done);
    }
    if (count == 1 && is(command, u8"--version")) {
        Show(FromUtf8(u8"pinfile-pending " PINFILE_VERSION));
        return ExitStatus(Outcome::Done);
    }
    ShowPendingUsage();
    return ExitStatus(Outcome::UsageShown);
}

}  // namespace pinfile
