#include "pending/HoldersCommand.h"

#include <vector>

#include "common/Outcome.h"
#include "output/HoldersJson.h"
#include "output/QueueWording.h"
#include "platform/Console.h"
#include "platform/HolderRules.h"
#include "platform/Holders.h"

namespace pinfile {

namespace {

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

void Show(const Text& line) { TheConsole().WriteLine(line, kOrdinaryLine); }

// One line per process: its number, command and unit, then what it holds.
void ShowReport(const HolderReport& report) {
    Text line;
    std::int64_t pid = -1;
    for (const FileHolder& holder : report.processes) {
        if (holder.pid != pid) {
            if (!line.empty()) Show(line);
            pid = holder.pid;
            line =
                FromUtf8(u8"PID ") + ToDecimal(pid) + FromUtf8(u8" ") + EscapedName(holder.command);
            if (!holder.unit.empty()) {
                line += FromUtf8(u8" (") + EscapedName(holder.unit) + FromUtf8(u8")");
            }
            line += FromUtf8(u8": ");
        } else {
            line += FromUtf8(u8"; ");
        }
        line += FromUtf8(WhyWords(holder.why)) + FromUtf8(u8" ") + QuotedName(holder.file);
    }
    if (!line.empty()) Show(line);
    const std::vector<Text> services = holders::ServicesOf(report.processes);
    if (!services.empty()) {
        line = FromUtf8(u8"Службы: ");
        for (const Text& service : services) {
            if (&service != &services.front()) line += FromUtf8(u8", ");
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
