#include "HolderRules.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

namespace pinfile::holders {

namespace {

constexpr std::string_view kBlanks = " \t";

// The next blank-separated field of the line, taken off its front; empty at the end.
std::string_view NextField(std::string_view& line) {
    const std::size_t start = line.find_first_not_of(kBlanks);
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find_first_of(kBlanks), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value, int base) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size();
}

// "major:minor" in hex, as both tables write a device.
bool ParseDevice(std::string_view text, FileKey& key) {
    const std::size_t colon = text.find(':');
    return colon != std::string_view::npos && ParseNumber(text.substr(0, colon), key.major, 16) &&
           ParseNumber(text.substr(colon + 1), key.minor, 16);
}

// The kernel writes a newline in a name as "\012" so that one mapping stays one line; nothing
// else is escaped.
std::string UnescapedName(std::string_view shown) {
    constexpr std::string_view kNewline = "\\012";
    std::string name;
    for (std::size_t at = shown.find(kNewline); at != std::string_view::npos;
         at = shown.find(kNewline)) {
        name.append(shown.substr(0, at)).push_back('\n');
        shown.remove_prefix(at + kNewline.size());
    }
    return name.append(shown);
}

// The outermost unit on a cgroup path; slices only group units and hold no process.
std::string UnitOnPath(std::string_view path) {
    constexpr std::array<std::string_view, 5> kKinds = {".service", ".scope", ".socket", ".mount",
                                                        ".swap"};
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        const std::string_view component = path.substr(0, slash);
        for (const std::string_view kind : kKinds) {
            if (component.size() > kind.size() && component.ends_with(kind)) {
                return std::string(component);
            }
        }
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return {};
}

}  // namespace

std::optional<MappedFile> ParseMapsLine(std::string_view line) {
    // address, permissions, offset, device, inode, then the name after padding.
    MappedFile mapped;
    mapped.range = std::string(NextField(line));
    mapped.shared = NextField(line).ends_with('s');
    NextField(line);
    if (!ParseDevice(NextField(line), mapped.key) ||
        !ParseNumber(NextField(line), mapped.key.inode, 10) || mapped.key.inode == 0) {
        return std::nullopt;
    }
    const std::size_t start = line.find_first_not_of(kBlanks);
    if (start == std::string_view::npos || line[start] != '/') return std::nullopt;
    line.remove_prefix(start);
    constexpr std::string_view kDeletedMark = " (deleted)";
    mapped.deleted = line.ends_with(kDeletedMark);
    if (mapped.deleted) line.remove_suffix(kDeletedMark.size());
    mapped.name = UnescapedName(line);
    return mapped;
}

std::optional<HeldLock> ParseLockLine(std::string_view line) {
    // [lock:] number: [->] kind mode access pid major:minor:inode start end
    if (line.starts_with("lock:")) line.remove_prefix(5);
    if (!NextField(line).ends_with(':')) return std::nullopt;
    std::string_view kind = NextField(line);
    if (kind == "->") return std::nullopt;
    NextField(line);
    NextField(line);
    HeldLock lock;
    if (!ParseNumber(NextField(line), lock.pid, 10)) return std::nullopt;
    const std::string_view file = NextField(line);
    const std::size_t last = file.rfind(':');
    if (last == std::string_view::npos || !ParseDevice(file.substr(0, last), lock.key) ||
        !ParseNumber(file.substr(last + 1), lock.key.inode, 10)) {
        return std::nullopt;
    }
    return lock;
}

std::optional<FileKey> MountedDevice(std::string_view line) {
    // mount id, parent id, then "major:minor" in decimal.
    NextField(line);
    NextField(line);
    const std::string_view device = NextField(line);
    const std::size_t colon = device.find(':');
    FileKey key;
    if (colon == std::string_view::npos || !ParseNumber(device.substr(0, colon), key.major, 10) ||
        !ParseNumber(device.substr(colon + 1), key.minor, 10)) {
        return std::nullopt;
    }
    return key;
}

std::string UnitOfCgroups(std::string_view cgroups) {
    // Lines "id:controllers:path"; the unified hierarchy's has id 0 and no controllers.
    std::string_view systemdPath;
    std::string_view unifiedPath;
    while (!cgroups.empty()) {
        const std::size_t end = std::min(cgroups.find('\n'), cgroups.size());
        const std::string_view line = cgroups.substr(0, end);
        cgroups.remove_prefix(std::min(end + 1, cgroups.size()));
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first == std::string_view::npos ? 0 : first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (line.substr(0, first) == "0" && controllers.empty()) unifiedPath = path;
        if (controllers == "name=systemd") systemdPath = path;
    }
    std::string unit = UnitOnPath(unifiedPath);
    return unit.empty() ? UnitOnPath(systemdPath) : unit;
}

HolderReport FromRestartManager(TextView file, const ManagerAnswer& answer) {
    HolderReport report;
    if (answer.error != 0 || (answer.processes.empty() && answer.fileMayBeHeld)) {
        report.complete = false;
        return report;
    }
    report.restartReasons = answer.rebootReasons;
    for (const ManagerProcess& process : answer.processes) {
        if (process.type == kCriticalApplication) report.restartReasons |= kCriticalProcess;
        report.processes.push_back({process.pid, process.application, Text(file), process.service,
                                    FileHolder::Why::InUse});
    }
    return report;
}

void Merge(HolderReport& whole, HolderReport part) {
    whole.complete = whole.complete && part.complete;
    whole.restartReasons |= part.restartReasons;
    for (FileHolder& holder : part.processes) {
        if (std::find(whole.processes.begin(), whole.processes.end(), holder) ==
            whole.processes.end()) {
            whole.processes.push_back(std::move(holder));
        }
    }
}

std::vector<Text> ServicesOf(const std::vector<FileHolder>& processes) {
    std::vector<Text> services;
    for (const FileHolder& holder : processes) {
        if (!holder.unit.empty() &&
            std::find(services.begin(), services.end(), holder.unit) == services.end()) {
            services.push_back(holder.unit);
        }
    }
    return services;
}

}  // namespace pinfile::holders
