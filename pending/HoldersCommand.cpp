#include "pending/HoldersCommand.h"

#include <string_view>
#include <utility>
#include <vector>

#include "common/Outcome.h"
#include "output/ListJson.h"
#include "output/QueueWording.h"
#include "platform/Console.h"
#include "platform/HolderRules.h"

namespace pinfile {

namespace {

Text Ascii(std::string_view text) { return Text(text.begin(), text.end()); }

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

const char8_t* WhyWords(FileHolder::Why why) {
    switch (why) {
        case FileHolder::Why::OldVersion:
            return u8"старая версия";
        case FileHolder::Why::Lock:
            return u8"блокировка";
        case FileHolder::Why::InUse:
            break;
    }
    return u8"использует";
}

// The reasons' names, in the order of their bits.
constexpr std::pair<RestartReason, std::string_view> kReasonNames[] = {
    {kPermissionDenied, "permission-denied"}, {kSessionMismatch, "session-mismatch"},
    {kCriticalProcess, "critical-process"},   {kCriticalService, "critical-service"},
    {kDetectedSelf, "detected-self"},
};

Text ReasonsJson(std::uint32_t reasons) {
    Text json = Ascii("[");
    for (const auto& [bit, name] : kReasonNames) {
        if ((reasons & bit) == 0) continue;
        if (json.size() > 1) json += Ascii(",");
        json += Ascii("\"") + Ascii(name) + Ascii("\"");
    }
    return json + Ascii("]");
}

Text ProcessJson(const FileHolder& holder) {
    return Ascii("{\"pid\":") + JsonNumber(holder.pid) +
           JsonNameField(u8"command", holder.command) + JsonNameField(u8"file", holder.file) +
           (holder.unit.empty() ? Ascii(",\"unit\":null") : JsonNameField(u8"unit", holder.unit)) +
           Ascii(R"(,"why":")") + Ascii(WhyName(holder.why)) + Ascii(R"("})");
}

template <typename Item, typename Convert>
Text JsonArray(const std::vector<Item>& items, Convert convert) {
    Text json = Ascii("[");
    for (const Item& item : items) {
        if (json.size() > 1) json += Ascii(",");
        json += convert(item);
    }
    return json + Ascii("]");
}

void Show(const Text& line) { TheConsole().WriteLine(line, kOrdinaryLine); }

// One line per process: its number, command and unit, then what it holds.
void ShowReport(const HolderReport& report) {
    Text line;
    std::int64_t pid = -1;
    for (const FileHolder& holder : report.processes) {
        if (holder.pid != pid) {
            if (!line.empty()) Show(line);
            pid = holder.pid;
            line = Ascii("PID ") + JsonNumber(pid) + Ascii(" ") + EscapedName(holder.command);
            if (!holder.unit.empty()) line += Ascii(" (") + EscapedName(holder.unit) + Ascii(")");
            line += Ascii(": ");
        } else {
            line += Ascii("; ");
        }
        line += FromUtf8(WhyWords(holder.why)) + Ascii(" ") + QuotedName(holder.file);
    }
    if (!line.empty()) Show(line);
    const std::vector<Text> services = holders::ServicesOf(report.processes);
    if (!services.empty()) {
        line = FromUtf8(u8"Службы: ");
        for (const Text& service : services) {
            if (&service != &services.front()) line += Ascii(", ");
            line += EscapedName(service);
        }
        Show(line);
    }
    if (report.restartReasons != 0) Show(FromUtf8(u8"Перезагрузка всё равно потребуется."));
    if (!report.complete) {
        Show(FromUtf8(u8"Ответ неполный: не обо всех процессах удалось узнать."));
    } else if (report.processes.empty()) {
        Show(FromUtf8(u8"Процессов, которые нужно перезапустить, нет."));
    }
}

}  // namespace

Text HoldersAsJson(const HolderReport& report) {
    const auto boolean = [](bool value) { return Ascii(value ? "true" : "false"); };
    return Ascii(R"({"schema":")") + FromUtf8(kHoldersSchema) + Ascii(R"(","version":)") +
           JsonNumber(kHoldersSchemaVersion) + Ascii(",\"complete\":") + boolean(report.complete) +
           Ascii(",\"restart_required\":") + boolean(report.restartReasons != 0) +
           Ascii(",\"restart_reasons\":") + ReasonsJson(report.restartReasons) +
           Ascii(",\"processes\":") + JsonArray(report.processes, ProcessJson) +
           Ascii(",\"services\":") +
           JsonArray(holders::ServicesOf(report.processes), JsonNameValue) + Ascii("}");
}

std::optional<int> HoldersCommand(const ArgumentList& arguments) {
    std::int32_t first = 1;
    const bool json = arguments.Count() > 1 && arguments.Item(1) == FromUtf8(u8"--json");
    if (json) ++first;
    std::vector<Text> names;
    for (std::int32_t i = first; i < arguments.Count(); ++i) {
        // A name that looks like an option is a mistyped one; "./--x" names such a file.
        const Text name = arguments.Item(i);
        if (name.empty() || name.starts_with(FromUtf8(u8"--"))) return std::nullopt;
        names.push_back(name);
    }
    const HolderReport report = FindHolders(names);
    if (json) {
        TheConsole().WriteUtf8Line(HoldersAsJson(report));
    } else {
        ShowReport(report);
    }
    return ExitStatus(report.complete ? Outcome::Done : Outcome::Failed);
}

}  // namespace pinfile
