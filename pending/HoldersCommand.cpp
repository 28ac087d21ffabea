#include "pending/HoldersCommand.h"

#include <algorithm>
#include <vector>

#include "common/Outcome.h"
#include "output/HoldersJson.h"
#include "output/QueueWording.h"
#include "platform/Console.h"
#include "platform/FileSystem.h"
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

// The lines of one process: its number, command and unit, then what it holds.
Text ProcessLine(const std::vector<FileHolder>& held) {
    const FileHolder& first = held.front();
    Text line =
        FromUtf8(u8"PID ") + ToDecimal(first.pid) + FromUtf8(u8" ") + EscapedName(first.command);
    if (!first.unit.empty()) line += FromUtf8(u8" (") + EscapedName(first.unit) + FromUtf8(u8")");
    line += FromUtf8(u8": ");
    for (const FileHolder& holder : held) {
        if (&holder != &held.front()) line += FromUtf8(u8"; ");
        line += FromUtf8(WhyWords(holder.why)) + FromUtf8(u8" ") + QuotedName(holder.file);
    }
    return line;
}

}  // namespace

std::vector<Text> HolderLines(const HolderReport& report) {
    std::vector<FileHolder> processes = report.processes;
    std::stable_sort(processes.begin(), processes.end(),
                     [](const FileHolder& a, const FileHolder& b) { return a.pid < b.pid; });
    std::vector<Text> lines;
    for (auto from = processes.begin(); from != processes.end();) {
        const auto to = std::find_if(from, processes.end(),
                                     [&](const FileHolder& h) { return h.pid != from->pid; });
        lines.push_back(ProcessLine(std::vector<FileHolder>(from, to)));
        from = to;
    }
    const std::vector<Text> services = holders::ServicesOf(report.processes);
    if (!services.empty()) {
        Text line = FromUtf8(u8"Службы: ");
        for (const Text& service : services) {
            if (&service != &services.front()) line += FromUtf8(u8", ");
            line += EscapedName(service);
        }
        lines.push_back(line);
    }
    if (report.restartReasons != 0) {
        lines.push_back(FromUtf8(u8"Перезагрузка всё равно потребуется."));
    }
    if (!report.complete) {
        lines.push_back(FromUtf8(u8"Ответ неполный: не обо всех процессах удалось узнать."));
    } else if (report.processes.empty()) {
        lines.push_back(FromUtf8(u8"Процессов, которые нужно перезапустить, нет."));
    }
    return lines;
}

std::optional<int> HoldersCommand(const ArgumentList& arguments) {
    std::int32_t first = 1;
    const bool json = arguments.Count() > 1 && NamesMatch(arguments.Item(1), FromUtf8(u8"--json"));
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
        // One block, so that redirected output takes one encoding for all of it.
        TheConsole().WriteLines(HolderLines(report));
    }
    return ExitStatus(report.complete ? Outcome::Done : Outcome::Failed);
}

}  // namespace pinfile
