#include "output/HoldersJson.h"

#include <string_view>
#include <utility>
#include <vector>

#include "output/Json.h"
#include "platform/HolderRules.h"

namespace pinfile {

namespace {

std::string_view WhyName(FileHolder::Why why) {
    switch (why) {
        case FileHolder::Why::OldVersion:
            return "old-version";
        case FileHolder::Why::Lock:
            return "lock";
        case FileHolder::Why::InUse:
            break;
    }
    return "in-use";
}

// The reasons' names, in the order of their bits.
constexpr std::pair<RestartReason, std::string_view> kReasonNames[] = {
    {kPermissionDenied, "permission-denied"}, {kSessionMismatch, "session-mismatch"},
    {kCriticalProcess, "critical-process"},   {kCriticalService, "critical-service"},
    {kDetectedSelf, "detected-self"},
};

Text ReasonsJson(std::uint32_t reasons) {
    std::vector<std::string_view> names;
    for (const auto& [bit, name] : kReasonNames) {
        if ((reasons & bit) != 0) names.push_back(name);
    }
    return json::Array(names, json::Word);
}

Text ProcessJson(const FileHolder& holder) {
    json::Object object;
    object.Field("pid", json::Number(holder.pid))
        .NameField("command", holder.command)
        .NameField("file", holder.file);
    if (holder.unit.empty()) {
        object.Field("unit", json::Null());
    } else {
        object.NameField("unit", holder.unit);
    }
    return object.Field("why", json::Word(WhyName(holder.why))).Close();
}

}  // namespace

Text HoldersAsJson(const HolderReport& report) {
    return json::Object()
        .Field("schema", json::Word(kHoldersSchema))
        .Field("version", json::Number(kHoldersSchemaVersion))
        .Field("complete", json::Boolean(report.complete))
        .Field("restart_required", json::Boolean(report.restartReasons != 0))
        .Field("restart_reasons", ReasonsJson(report.restartReasons))
        .Field("processes", json::Array(report.processes, ProcessJson))
        .Field("services", json::Array(holders::ServicesOf(report.processes), json::Name))
        .Close();
}

}  // namespace pinfile
