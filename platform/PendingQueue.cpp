#include "PendingQueue.h"

#include <cstdlib>

#include "FileSystem.h"

namespace pinfile {

int RunWaitSeconds() {
    constexpr int kTenMinutes = 600;
    const char* shortened = std::getenv("PINFILE_TEST_RUN_WAIT");
    if (shortened == nullptr) return kTenMinutes;
    char* end = nullptr;
    const long seconds = std::strtol(shortened, &end, 10);
    if (end == shortened || *end != '\0' || seconds <= 0 || seconds >= kTenMinutes) {
        return kTenMinutes;
    }
    return static_cast<int>(seconds);
}

bool UndoesLaterCommand(LaterCommand command, const PendingOperation& operation, TextView ownStaged,
                        const std::function<bool(TextView)>& isTheFile) {
    switch (operation.kind) {
        case PendingOperation::Kind::Replace:
            if (!ownStaged.empty() && NamesMatch(operation.source, ownStaged)) return false;
            [[fallthrough]];
        case PendingOperation::Kind::Move:
            return isTheFile(operation.target) || isTheFile(operation.source);
        case PendingOperation::Kind::Delete:
            return command == LaterCommand::Copy && isTheFile(operation.source);
        case PendingOperation::Kind::Damaged:
        case PendingOperation::Kind::NotUnderstood:
            break;
    }
    return false;
}

}  // namespace pinfile
