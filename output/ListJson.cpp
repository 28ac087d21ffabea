#include "output/ListJson.h"

#include <string_view>
#include <type_traits>

#include "platform/UtilityLibrary.h"

namespace pinfile {

namespace {

Text Ascii(std::string_view text) { return Text(text.begin(), text.end()); }

Text JsonString(TextView text) {
    Text out = FromUtf8(u8"\"");
    for (const NativeChar c : text) {
        const auto unit = static_cast<unsigned>(static_cast<std::make_unsigned_t<NativeChar>>(c));
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (unit < 0x20) {
            out += Ascii("\\u") + Hex(unit, 4);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

Text Field(std::string_view name, const Text& value) {
    return Ascii(",\"") + Ascii(name) + Ascii("\":") + value;
}

Text Number(long long value) {
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                            : static_cast<unsigned long long>(value);
    Text digits;
    do {
        digits.insert(digits.begin(), static_cast<NativeChar>('0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    return negative ? Ascii("-") + digits : digits;
}

Text Boolean(bool value) { return Ascii(value ? "true" : "false"); }

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
    return Ascii("{\"code\":") + Number(code) + Ascii(",\"text\":") +
           JsonString(ulGetAPIErrorDescription(code)) + Ascii("}");
}

Text StateFields(const PendingOperation& operation) {
    if (operation.lastError != 0) {
        return Field("state", JsonString(Ascii("failed"))) +
               Field("error", ErrorJson(operation.lastError));
    }
    return Field("state", JsonString(Ascii(operation.unchecked ? "unchecked" : "waiting")));
}

Text StagedField(PendingOperation::StagedState staged) {
    switch (staged) {
        case PendingOperation::StagedState::Intact:
            return Field("staged_file", JsonString(Ascii("intact")));
        case PendingOperation::StagedState::Missing:
            return Field("staged_file", JsonString(Ascii("missing")));
        case PendingOperation::StagedState::Changed:
            return Field("staged_file", JsonString(Ascii("changed")));
        case PendingOperation::StagedState::Unchecked:
            break;
    }
    return Text();
}

// The names of an operation as the list gives them: a deletion has a target alone.
Text NameFields(const PendingOperation& operation) {
    const bool deletion = operation.kind == PendingOperation::Kind::Delete;
    Text json = JsonNameField(u8"target", deletion ? operation.source : operation.target);
    if (!deletion) json += JsonNameField(u8"source", operation.source);
    return json;
}

Text OperationJson(const PendingOperation& operation, long long number) {
    Text json = Ascii("{\"number\":") + Number(number) +
                Field("kind", JsonString(Ascii(KindName(operation.kind))));
    if (operation.kind == PendingOperation::Kind::Damaged) {
        return json + Field("offset", Number(static_cast<long long>(operation.offset))) +
               Field("size", Number(static_cast<long long>(operation.size))) + Ascii("}");
    }
    json += NameFields(operation);
    json += Field("made_by_pinfile", Boolean(operation.byPinfile)) + StateFields(operation) +
            StagedField(operation.staged);
    if (!operation.place.empty()) json += Field("registry_value", JsonString(operation.place));
    return json + Ascii("}");
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
    Text json = Ascii("{\"kind\":") + JsonString(Ascii(KindName(missed.operation.kind))) +
                NameFields(missed.operation) + Field("why", JsonString(Ascii(WhyName(missed.why))));
    if (missed.why == LastRestart::Why::Failed) json += Field("error", ErrorJson(missed.error));
    return json + Ascii("}");
}

Text LastRestartJson(const LastRestart& lastRestart) {
    Text missed;
    for (const LastRestart::NotCarriedOut& operation : lastRestart.notCarriedOut) {
        if (!missed.empty()) missed += Ascii(",");
        missed += NotCarriedOutJson(operation);
    }
    return Ascii("{\"carried_out\":") + Number(lastRestart.carriedOut) +
           Field("not_carried_out", Ascii("[") + missed + Ascii("]")) + Ascii("}");
}

}  // namespace

Text JsonNameField(const char8_t* field, TextView name) {
    const auto key = FromUtf8(field);
    const Text head = Ascii(",\"") + key + Ascii("\":");
    if (IsValidText(name)) return head + JsonString(name);
    Text raw;
    for (const NativeChar c : name) {
        raw += Hex(static_cast<unsigned>(static_cast<std::make_unsigned_t<NativeChar>>(c)),
                   static_cast<int>(sizeof(NativeChar) * 2));
    }
    return head + JsonString(EscapedName(name)) + Ascii(",\"") + key + Ascii("_raw\":\"") + raw +
           Ascii("\"");
}

Text JsonNameValue(TextView name) {
    return JsonString(IsValidText(name) ? Text(name) : EscapedName(name));
}

Text JsonNumber(long long value) { return Number(value); }

Text ListAsJson(const PendingList& list, const LastRestart& lastRestart) {
    bool restartRequired = false;
    Text operations;
    long long number = 0;
    for (const PendingOperation& operation : list.operations) {
        restartRequired = restartRequired || operation.byPinfile;
        if (number != 0) operations += Ascii(",");
        operations += OperationJson(operation, ++number);
    }
    return Ascii("{\"schema\":") + JsonString(FromUtf8(kListSchema)) +
           Field("version", Number(kListSchemaVersion)) +
           Field("restart_required", Boolean(restartRequired)) +
           Field("operations", Ascii("[") + operations + Ascii("]")) +
           Field("last_restart", LastRestartJson(lastRestart)) + Ascii("}");
}

}  // namespace pinfile
