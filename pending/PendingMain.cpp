#include "pending/PendingMain.h"

#include "fileops/FileOps.h"
#include "platform/Console.h"
#include "platform/PendingQueue.h"

namespace pinfile {

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsageError = 2;

void Say(const Text& line) { TheConsole().WriteLine(line, false); }

Text U(const char8_t* text) { return FromUtf8(text); }

Text Quoted(const Text& name) { return U(u8"\"") + name + U(u8"\""); }

void ShowPendingUsage() {
    constexpr const char8_t* kLines[] = {
        u8"Использование:",
        u8"",
        u8"    pinfile-pending list    - показать операции, ожидающие перезагрузки.",
        u8"    pinfile-pending apply   - выполнить их (при загрузке системы, только POSIX).",
        u8"    pinfile-pending --help  - показать эту справку.",
    };
    for (const char8_t* line : kLines) Say(U(line));
}

Text Describe(const PendingOperation& operation) {
    switch (operation.kind) {
        case PendingOperation::Kind::Replace:
            return U(u8"Заменить ") + Quoted(operation.target) + U(u8" файлом ") +
                   Quoted(operation.source);
        case PendingOperation::Kind::Move:
            return U(u8"Переместить ") + Quoted(operation.source) + U(u8" в ") +
                   Quoted(operation.target);
        case PendingOperation::Kind::Delete:
            return U(u8"Удалить ") + Quoted(operation.source);
        case PendingOperation::Kind::Damaged:
            break;
    }
    return U(u8"Повреждённая запись: ") + ToDecimal(static_cast<std::int32_t>(operation.size)) +
           U(u8" байт со смещения ") + ToDecimal(static_cast<std::int32_t>(operation.offset));
}

int List() {
    const PendingList list = ReadPendingOperations();
    if (list.error != 0) {
        Say(U(u8"Не удалось прочитать очередь. ") + ErrorLine(list.error));
        return kFailure;
    }
    if (list.operations.empty()) {
        Say(U(u8"Очередь операций на перезагрузку пуста."));
        return kSuccess;
    }
    std::int32_t number = 0;
    for (const PendingOperation& operation : list.operations) {
        Say(ToDecimal(++number) + U(u8". ") + Describe(operation));
    }
    return kSuccess;
}

Text Told(const AppliedOperation& applied) {
    Text what = Describe(applied.operation);
    switch (applied.result) {
        case AppliedOperation::Result::Done:
            return U(u8"Выполнено: ") + what;
        case AppliedOperation::Result::AlreadyDone:
            return U(u8"Уже было выполнено: ") + what;
        case AppliedOperation::Result::Failed:
            return U(u8"Не выполнено: ") + what + U(u8". ") + ErrorLine(applied.error);
        case AppliedOperation::Result::Refused:
            return U(u8"Отклонено (имя не абсолютное): ") + what;
        case AppliedOperation::Result::Skipped:
            return U(u8"Пропущено. ") + what;
    }
    return what;
}

int Apply() {
    bool allDone = true;
    bool anyTold = false;
    const ApplyOutcome outcome = ApplyPendingOperations([&](const AppliedOperation& applied) {
        Say(Told(applied));
        anyTold = true;
        allDone = allDone && (applied.result == AppliedOperation::Result::Done ||
                              applied.result == AppliedOperation::Result::AlreadyDone);
    });
    switch (outcome.kind) {
        case ApplyOutcome::Kind::Finished:
            if (!anyTold) Say(U(u8"Очередь операций на перезагрузку пуста."));
            return allDone ? kSuccess : kFailure;
        case ApplyOutcome::Kind::Insecure:
            Say(U(u8"Очередь ") + Quoted(outcome.where) +
                U(u8" отклонена: её владелец не root или в неё могут писать другие. Ничего не "
                  u8"выполнено."));
            return kFailure;
        case ApplyOutcome::Kind::Failed:
            Say(U(u8"Не удалось обработать очередь ") + Quoted(outcome.where) + U(u8". ") +
                ErrorLine(outcome.error));
            return kFailure;
        case ApplyOutcome::Kind::NotSupported:
            Say(U(u8"Эту очередь выполняет сама Windows при следующем запуске."));
            return kUsageError;
    }
    return kFailure;
}

}  // namespace

int PendingMain() {
    TheConsole().Attach(TheApplication(), true);
    ArgumentList& arguments = TheCommandLine().Arguments();
    const Text command = arguments.Count() == 1 ? arguments.Item(0) : Text();
    if (command == U(u8"list")) return List();
    if (command == U(u8"apply")) return Apply();
    if (command == U(u8"--help")) {
        ShowPendingUsage();
        return kSuccess;
    }
    ShowPendingUsage();
    return kUsageError;
}

}  // namespace pinfile
