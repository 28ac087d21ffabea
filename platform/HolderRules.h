// The rules by which the backends read what the system tells about the users of a file: the
// lines of Linux's /proc tables, and the Restart Manager's answer on Windows. Plain functions
// of text and values, so that tests drive every rule with answers no test machine gives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "Holders.h"
#include "Text.h"

namespace pinfile::holders {

// A file as the kernel's tables name it: its file system's device numbers and its inode.
struct FileKey {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint64_t inode = 0;

    bool operator==(const FileKey&) const = default;
    bool operator<(const FileKey& other) const {
        return std::tie(major, minor, inode) < std::tie(other.major, other.minor, other.inode);
    }
};

// One line of /proc/PID/maps that maps a file of the tree (its name starts with "/").
struct MappedFile {
    std::string range;  // "start-end": the mapping's entry under /proc/PID/map_files
    FileKey key;
    bool shared = false;   // mapped shared ("s"), not private ("p") as programs load code
    std::string name;      // as shown, with the kernel's escape of a newline undone
    bool deleted = false;  // the kernel marked the name " (deleted)", here taken off the name
};

// None for a line without a file (anonymous memory, [heap], [vdso]) or not understood.
std::optional<MappedFile> ParseMapsLine(std::string_view line);

// A lock of /proc/locks, or of a "lock:" line of /proc/PID/fdinfo/FD.
struct HeldLock {
    std::int64_t pid = 0;  // -1 for an open file description's lock, which no process owns
    FileKey key;
};

// None for a process that waits for a lock ("->") and for a line not understood.
std::optional<HeldLock> ParseLockLine(std::string_view line);

// The device of a file system that a line of /proc/PID/mountinfo mounts (its key's inode is 0).
std::optional<FileKey> MountedDevice(std::string_view line);

// The systemd unit of a process from its /proc/PID/cgroup: the outermost unit that holds
// processes (a service, scope, socket, mount or swap; user@UID.service and session-N.scope as
// they are) on the path of the unified hierarchy, or else of v1's name=systemd one. Empty for
// a process outside any unit.
std::string UnitOfCgroups(std::string_view cgroups);

// What the Restart Manager told of one file (RmGetList), in the program's own terms.
struct ManagerProcess {
    std::int64_t pid = 0;
    Text application;        // strAppName
    Text service;            // strServiceShortName; empty for no service
    std::uint32_t type = 0;  // ApplicationType
};
inline constexpr std::uint32_t kCriticalApplication = 1000;  // RmCritical

struct ManagerAnswer {
    ErrorCode error = 0;  // a call of the session failed (or the manager could not be had)
    std::vector<ManagerProcess> processes;
    std::uint32_t rebootReasons = 0;  // RestartReason bits
    // Another process may hold the file right now (it cannot be opened for writing).
    bool fileMayBeHeld = false;
};

// The holders of the file by the manager's answer. A failed session, or one that names
// nobody while the file may be held (as a manager that cannot tell does), is no answer: the
// report is incomplete and claims no process.
HolderReport FromRestartManager(TextView file, const ManagerAnswer& answer);

// Adds the part's processes and reasons to the whole; one incomplete part makes it incomplete.
void Merge(HolderReport& whole, HolderReport part);

// The units of the processes, each once, in the order they first appear.
std::vector<Text> ServicesOf(const std::vector<FileHolder>& processes);

}  // namespace pinfile::holders
