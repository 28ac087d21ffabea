// Which processes still run an old version of a file or hold it, so that an administrator can
// restart exactly those (their services) instead of the whole machine.
#pragma once

#include <cstdint>
#include <vector>

#include "Text.h"

namespace pinfile {

struct FileHolder {
    enum class Why {
        OldVersion,  // maps or runs a version of the file that its name no longer leads to (POSIX)
        Lock,        // holds a lock on the file as it is now (POSIX)
        InUse,       // the system's Restart Manager names it as a user of the file (Windows)
    };
    std::int64_t pid = 0;
    // POSIX: the process's name as the kernel keeps it; Windows: the application's name.
    Text command;
    Text file;
    // The systemd unit the process runs in (POSIX) or the service's short name (Windows);
    // empty for a process outside any.
    Text unit;
    Why why = Why::OldVersion;

    bool operator==(const FileHolder&) const = default;
};

// Why the system must restart anyway, whoever is restarted: bits as the Restart Manager
// numbers them (Windows).
enum RestartReason : std::uint32_t {
    kPermissionDenied = 0x1,  // a process that this user may not shut down
    kSessionMismatch = 0x2,   // a process of another session
    kCriticalProcess = 0x4,
    kCriticalService = 0x8,
    kDetectedSelf = 0x10,  // the asking process itself
};

struct HolderReport {
    // False when a process, or the system's answer, could not be had: the list may then lack
    // a holder, and nothing may be concluded from its being short.
    bool complete = true;
    std::vector<FileHolder> processes;
    std::uint32_t restartReasons = 0;  // RestartReason bits; none on POSIX
};

// The processes that use the named files: on POSIX those that still map or run a version of
// a file that is no longer the one under its name, and those that hold a lock on it; on
// Windows the Restart Manager's answer. With no names: on POSIX the old versions of every file
// and the locks on the files that the restart queue waits for; on Windows the users of the
// files that pinfile's waiting operations name.
HolderReport FindHolders(const std::vector<Text>& names);

}  // namespace pinfile
