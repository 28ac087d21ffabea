#include "LastRestart.h"

#include <cstddef>

namespace pinfile {

namespace {

// The record's first field: its form, raised whenever the fields change.
constexpr std::u8string_view kForm = u8"last-restart 1";

// Fields per operation: kind, why, error, target, source.
constexpr std::size_t kOperationFields = 5;

void Put(Text& units, TextView field) {
    units += field;
    units.push_back(NativeChar{});
}

// A plain decimal as ToDecimal writes it, within [least, most].
std::optional<std::int32_t> Decimal(TextView field, std::int32_t least, std::int32_t most) {
    const bool negative = !field.empty() && field.front() == '-';
    if (negative) field.remove_prefix(1);
    if (field.empty() || field.size() > 10) return std::nullopt;
    std::int64_t value = 0;
    for (const NativeChar c : field) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value < least || value > most) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::vector<TextView> Fields(TextView units) {
    std::vector<TextView> fields;
    while (!units.empty()) {
        const std::size_t end = units.find(NativeChar{});
        if (end == TextView::npos) return {};  // the last field lost its end: not a record
        fields.push_back(units.substr(0, end));
        units.remove_prefix(end + 1);
    }
    return fields;
}

}  // namespace

Text EncodeLastRestart(const LastRestart& outcome) {
    Text units;
    Put(units, FromUtf8(kForm));
    Put(units, ToDecimal(outcome.carriedOut));
    for (const LastRestart::NotCarriedOut& missed : outcome.notCarriedOut) {
        Put(units, ToDecimal(static_cast<std::int32_t>(missed.operation.kind)));
        Put(units, ToDecimal(static_cast<std::int32_t>(missed.why)));
        Put(units, ToDecimal(missed.error));
        Put(units, missed.operation.target);
        Put(units, missed.operation.source);
    }
    return units;
}

std::optional<LastRestart> DecodeLastRestart(TextView units) {
    const std::vector<TextView> fields = Fields(units);
    if (fields.size() < 2 || fields[0] != FromUtf8(kForm) ||
        (fields.size() - 2) % kOperationFields != 0) {
        return std::nullopt;
    }
    LastRestart outcome;
    const auto carried = Decimal(fields[1], 0, INT32_MAX);
    if (!carried) return std::nullopt;
    outcome.carriedOut = *carried;
    for (std::size_t i = 2; i < fields.size(); i += kOperationFields) {
        using Kind = PendingOperation::Kind;
        using Why = LastRestart::Why;
        const auto kind = Decimal(fields[i], 0, static_cast<std::int32_t>(Kind::Delete));
        const auto why = Decimal(fields[i + 1], 0, static_cast<std::int32_t>(Why::Failed));
        const auto error = Decimal(fields[i + 2], INT32_MIN, INT32_MAX);
        if (!kind || !why || !error) return std::nullopt;
        LastRestart::NotCarriedOut missed;
        missed.operation.kind = static_cast<Kind>(*kind);
        missed.operation.byPinfile = true;
        missed.why = static_cast<Why>(*why);
        missed.error = *error;
        missed.operation.target = fields[i + 3];
        missed.operation.source = fields[i + 4];
        outcome.notCarriedOut.push_back(std::move(missed));
    }
    return outcome;
}

}  // namespace pinfile
