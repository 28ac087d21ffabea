#include "PendingQueue.h"

#include "FileSystem.h"

namespace pinfile {

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
