#include "output/ListJson.h"

#include <string_view>

#include "output/Json.h"
#include "platform/UtilityLibrary.h"

namespace pinfile {

namespace {

std::string_view KindName(PendingOperation::Kind kind) {
    switch (kind) {
        case PendingOperation::Kind::Replace:
            return "replace";
        case PendingOperation::Kind::Move:
            return "move";
        case PendingOperation::Kind::Delete:
            return "delete";
        case PendingOperation::Kind::NotUnderstood:
            return "not_understood";
        case PendingOperation::Kind::Damaged:
            break;
    }
    return "damaged";
}

Text ErrorJson(ErrorCode code) {
    return json::Object()
        .Field("code", json::Number(code))
        .Field("text", json::String(ulGetAPIErrorDescription(code)))
        .Close();
}

void AddState(json::Object& object, const PendingOperation& operation) {
    if (operation.lastError != 0) {
        object.Field("state", json::Word("failed")).Field("error", ErrorJson(operation.lastError));
    } else {
        object.Field("state", json::Word(operation.unchecked ? "unchecked" : "waiting"));
    }
}

void AddStaged(json::Object& object, PendingOperation::StagedState staged) {
    switch (staged) {
        case PendingOperation::StagedState::Intact:
            object.Field("staged_file", json::Word("intact"));
            return;
        case PendingOperation::StagedState::Missing:
            object.Field("staged_file", json::Word("missing"));
            return;
        case PendingOperation::StagedState::Changed:
            object.Field("staged_file", json::Word("changed"));
            return;
        case PendingOperation::StagedState::Unchecked:
            return;
    }
}

// The names of an operation as the list gives them: a deletion has a target alone.
void AddNames(json::Object& object, const PendingOperation& operation) {
    const bool deletion = operation.kind == PendingOperation::Kind::Delete;
    object.NameField("target", deletion ? operation.source : operation.target);
    if (!deletion) object.NameField("source", operation.source);
}

Text OperationJson(const PendingOperation& operation, std::int64_t number) {
    json::Object object;
    object.Field("number", json::Number(number))
        .Field("kind", json::Word(KindName(operation.kind)));
    if (operation.kind == PendingOperation::Kind::Damaged) {
        return object.Field("offset", json::Number(static_cast<std::int64_t>(operation.offset)))
            .Field("size", json::Number(static_cast<std::int64_t>(operation.size)))
            .Close();
    }
    AddNames(object, operation);
    object.Field("made_by_pinfile", json::Boolean(operation.byPinfile));
    AddState(object, operation);
    AddStaged(object, operation.staged);
    if (!operation.place.empty()) object.Field("registry_value", json::String(operation.place));
    return object.Close();
}

std::string_view WhyName(LastRestart::Why why) {
    switch (why) {
        case LastRestart::Why::StagedFileMissing:
            return "staged_file_missing";
        case LastRestart::Why::TargetUnchanged:
            return "target_unchanged";
        case LastRestart::Why::TargetStillPresent:
            return "target_still_present";
        case LastRestart::Why::Failed:
            break;
    }
    return "failed";
}

Text NotCarriedOutJson(const LastRestart::NotCarriedOut& missed) {
    json::Object object;
    object.Field("kind", json::Word(KindName(missed.operation.kind)));
    AddNames(object, missed.operation);
    object.Field("why", json::Word(WhyName(missed.why)));
    if (missed.why == LastRestart::Why::Failed) object.Field("error", ErrorJson(missed.error));
    return object.Close();
}

Text LastRestartJson(const LastRestart& lastRestart) {
    return json::Object()
        .Field("carried_out", json::Number(lastRestart.carriedOut))
        .Field("not_carried_out", json::Array(lastRestart.notCarriedOut, NotCarriedOutJson))
        .Close();
}

}  // namespace

Text ListAsJson(const PendingList& list, const LastRestart& lastRestart) {
    bool restartRequired = false;
    std::int64_t number = 0;
    const auto numbered = [&](const PendingOperation& operation) {
        restartRequired = restartRequired || operation.byPinfile;
        return OperationJson(operation, ++number);
    };
    const Text operations = json::Array(list.operations, numbered);
    return json::Object()
        .Field("schema", json::Word(kListSchema))
        .Field("version", json::Number(kListSchemaVersion))
        .Field("restart_required", json::Boolean(restartRequired))
        .Field("operations", operations)
        .Field("last_restart", LastRestartJson(lastRestart))
        .Close();
}

}  // namespace pinfile
