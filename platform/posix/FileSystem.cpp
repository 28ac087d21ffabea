#include "../FileSystem.h"

#include <fcntl.h>
#include <linux/magic.h>  // TMPFS_MAGIC, RAMFS_MAGIC, OVERLAYFS_SUPER_MAGIC
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "../UtilityLibrary.h"
#include "FileCopy.h"
#include "FileTasks.h"
#include "Links.h"
#include "Locations.h"
#include "journal/BootRunner.h"
#include "journal/JournalFile.h"

namespace pinfile {

namespace {

using posix::Descriptor;
using posix::LastError;
using posix::NameAt;

Status InUse() { return Status(EBUSY, Status::Note::InUseNow); }

enum class Hold { Free, Held, Unknown };

// Another process holds an advisory lock on the open file: a flock, or an fcntl lock on any
// part of it. On success our own flock stays on the file until the descriptor closes, so
// that nobody takes one while we replace or delete it.
// A query that fails cannot tell, and counts as held.
bool HeldByAnotherProcess(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return true;
    struct flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_GETLK, &query) != 0) return true;
    return query.l_type != F_UNLCK;
}

// The kernel's table of locks names every locked file by device and inode, and anyone may
// read it: the test for a file that we may replace but not open.
Hold HeldInLockTable(const struct stat& file) {
    std::ifstream table("/proc/locks");
    if (!table) return Hold::Unknown;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        for (std::string field; fields >> field;) {
            if (field == wanted) return Hold::Held;
        }
    }
    return table.bad() ? Hold::Unknown : Hold::Free;
}

// Whether another process holds the file of that name in the folder. A file that cannot be
// opened to ask is looked up in the lock table; when even that cannot tell, it counts as
// held, because replacing or deleting a file that another process holds is what must never
// happen.
Hold HoldOn(int folder, const std::string& name, int openFlags, Descriptor& opened) {
    opened.reset(
        openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | openFlags));
    if (opened.valid()) return HeldByAnotherProcess(opened.get()) ? Hold::Held : Hold::Free;
    if (errno == ENOENT) return Hold::Free;  // no file yet: nobody can hold it
    if (errno != EACCES && errno != EPERM) return Hold::Unknown;
    struct stat info {};
    if (fstatat(folder, name.c_str(), &info, openFlags & O_NOFOLLOW ? AT_SYMLINK_NOFOLLOW : 0) !=
        0) {
        return Hold::Unknown;
    }
    return HeldInLockTable(info);
}

// Best effort: the flag that tells administrators and their tools that a restart is due,
// and the line that names pinfile as the package that wants it.
void MarkRestartRequired() {
    const std::string folder = posix::RunFolder();
    mkdir(folder.c_str(), 0755);
    const Descriptor flag(open((folder + "/reboot-required").c_str(),
                               O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    const std::string packages = folder + "/reboot-required.pkgs";
    std::ifstream existing(packages);
    for (std::string line; std::getline(existing, line);) {
        if (line == "pinfile") return;
    }
    const Descriptor list(
        open(packages.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (list.valid()) [[maybe_unused]]
        const ssize_t ignored = write(list.get(), "pinfile\n", 8);
}

// A file system that a reboot empties (tmpfs, ramfs): no boot could carry out an operation
// queued there.
bool EmptiedByReboot(long type) { return type == TMPFS_MAGIC || type == RAMFS_MAGIC; }

// The mount table writes a space, tab, comma or backslash in a name as \ and three octal
// digits.
std::string Unescaped(std::string_view text) {
    std::string plain;
    for (std::size_t at = 0; at < text.size(); ++at) {
        unsigned char value = 0;
        const char* digits = text.data() + at + 1;
        const bool escaped = text[at] == '\\' && at + 3 < text.size() &&
                             std::from_chars(digits, digits + 3, value, 8).ptr == digits + 3;
        if (escaped) {
            plain.push_back(static_cast<char>(value));
            at += 3;
        } else {
            plain.push_back(text[at]);
        }
    }
    return plain;
}

// Overlay's options escape a comma, colon or backslash in a layer's name with a backslash.
std::string LayerName(std::string_view option) {
    std::string name;
    for (std::size_t at = 0; at < option.size(); ++at) {
        if (option[at] == '\\' && at + 1 < option.size()) ++at;
        name.push_back(option[at]);
    }
    return name;
}

// The upper layer of the overlay mounted as the device, as the mount table names it; empty
// when the overlay has none or is not found.
std::string OverlayUpperLayer(dev_t device) {
    std::ifstream table("/proc/self/mountinfo");
    const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id;
        std::string parent;
        std::string numbers;
        fields >> id >> parent >> numbers;
        // Past the optional fields, which end with a lone "-": type, source, options.
        const std::size_t separator = line.find(" - ");
        if (numbers != wanted || separator == std::string::npos) continue;
        std::istringstream described(line.substr(separator + 3));
        std::string type;
        std::string source;
        std::string options;
        described >> type >> source >> options;
        if (type != "overlay") continue;
        std::istringstream list(options);
        for (std::string option; std::getline(list, option, ',');) {
            if (option.starts_with("upperdir=")) return LayerName(Unescaped(option.substr(9)));
        }
    }
    return {};
}

// An overlay keeps what is written to it in its upper layer: one whose upper layer a reboot
// empties (overlayroot=tmpfs, live systems) forgets it as tmpfs does. An upper layer out of
// sight (mounted in another namespace) cannot tell, and counts as kept.
bool UpperLayerEmptiedByReboot(int folder) {
    struct stat info {};
    if (fstat(folder, &info) != 0) return false;
    const std::string upper = OverlayUpperLayer(info.st_dev);
    struct statfs system {};
    return !upper.empty() && statfs(upper.c_str(), &system) == 0 &&
           EmptiedByReboot(static_cast<long>(system.f_type));
}

}  // namespace

namespace posix {

// The folder of a queued operation, as the record proves it at boot. An overlay shows a folder
// that only a lower layer holds until a write copies it up, which gives it the upper copy's
// birth time: the boot's own change, or a later command's, would then find another folder. So
// the folder is copied up before it is proven, by setting its owner and group to what they
// are, which changes nothing else but its change time.
Status QueueableFolder(int folder, posix::FileIdentity& identity) {
    struct statfs system {};
    if (fstatfs(folder, &system) != 0) return LastError();
    const auto type = static_cast<long>(system.f_type);
    if (EmptiedByReboot(type)) return Status(EOPNOTSUPP);
    if (type == OVERLAYFS_SUPER_MAGIC) {
        if (UpperLayerEmptiedByReboot(folder)) return Status(EOPNOTSUPP);
        if (fchown(folder, static_cast<uid_t>(-1), static_cast<gid_t>(-1)) != 0) {
            return LastError();
        }
    }
    return posix::IdentityOf(folder, identity);
}

// Only a regular file is a source: a FIFO or a device could be read forever.
Status OpenSource(TextView source, Descriptor& in, struct stat& info) {
    in.reset(open(Text(source).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in.valid() || fstat(in.get(), &info) != 0) return LastError();
    if (S_ISDIR(info.st_mode)) return Status(EISDIR);
    return S_ISREG(info.st_mode) ? Status() : Status(EINVAL);
}

Status QueueRecord(const posix::JournalRecord& record) {
    posix::Journal* journal = nullptr;
    Status status = posix::OpenRunJournal(true, journal);
    if (status.Succeeded()) status = journal->Append(record);
    if (status.Succeeded()) MarkRestartRequired();
    return status;
}

}  // namespace posix

namespace {

// Removes what killed runs left in the folder that pinfile proves it made for this journal
// (see RemoveLeftovers), all but the staged files that an open record needs, and never the
// source. Nothing without the journal's identity, which every file of pinfile's carries, nor
// when the journal cannot be read, as any staged file might be needed. Beside its identity a
// missing journal is an empty one: pinfile removes it when its last record goes.
void RemoveLeftoversIn(int folder, int source) {
    const std::string& id = posix::RunJournalId();
    if (id.empty()) return;
    posix::Journal* journal = nullptr;
    const Status opened = posix::OpenRunJournal(false, journal);
    if (opened.Failed() && opened.Code() != ENOENT) return;
    posix::RemoveLeftovers(
        folder, id,
        opened.Succeeded() ? posix::StagedNamesNeeded(journal->Entries()) : posix::NeededNames(),
        source);
}

}  // namespace

bool FindEntry(TextView name) {
    struct stat info {};
    return !name.empty() && lstat(Text(name).c_str(), &info) == 0;
}

bool NamesMatch(TextView first, TextView second) { return first == second; }

bool SameFile(TextView first, TextView second) {
    struct stat a {};
    struct stat b {};
    if (first.empty() || second.empty()) return false;
    if (stat(Text(first).c_str(), &a) != 0 || stat(Text(second).c_str(), &b) != 0) return false;
    return posix::SameInode(a, b);
}

Status CopyFileNow(TextView source, TextView target) {
    Descriptor in;
    struct stat sourceInfo {};
    if (const Status opened = posix::OpenSource(source, in, sourceInfo); opened.Failed()) {
        return opened;
    }

    NameAt at;
    if (const Status found = posix::OpenCopyTarget(target, at); found.Failed()) return found;
    // Only a regular file is replaced: a FIFO, socket or device is no file to put in place.
    struct stat targetInfo {};
    if (fstatat(at.folder.get(), at.name.c_str(), &targetInfo, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(targetInfo.st_mode)) {
        return Status(S_ISDIR(targetInfo.st_mode) ? EISDIR : EINVAL);
    }

    // What killed runs left in the folder goes first, also when the copy is to be queued:
    // the staged file is made in this same folder.
    RemoveLeftoversIn(at.folder.get(), in.get());

    // A target that another process has locked is in use; ours keeps it until we are done.
    Descriptor existing;
    if (HoldOn(at.folder.get(), at.name, O_NOFOLLOW, existing) != Hold::Free) return InUse();

    return posix::ReplaceWithCopyAt(in.get(), sourceInfo.st_mode, at.folder.get(), at.name,
                                    posix::RunJournalId());
}

Status ProbeInUse(TextView name) {
    NameAt at;
    if (const Status found = posix::OpenCopyTarget(name, at); found.Failed()) return found;
    Descriptor file;
    if (HoldOn(at.folder.get(), at.name, O_NOFOLLOW, file) != Hold::Free) return InUse();
    return {};
}

// The folder is proven by identity when the queue is read, and the name is exact.
Text QueueNameOf(TextView name) { return Text(name); }

Status DeleteFileNow(TextView name) {
    NameAt at;
    if (const Status opened = posix::OpenNameAt(name, at); opened.Failed()) {
        return opened;
    }
    struct stat info {};
    if (fstatat(at.folder.get(), at.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return LastError();
    }
    if (S_ISDIR(info.st_mode)) return Status(EISDIR);

    // A symbolic link itself goes; a lock on the file it leads to does not concern it.
    Descriptor file;
    if (!S_ISLNK(info.st_mode) &&
        HoldOn(at.folder.get(), at.name, O_NOFOLLOW, file) != Hold::Free) {
        return InUse();
    }

    // Any other refusal (an immutable file, a sticky folder) would refuse the boot as well.
    return posix::RemoveDurably(at.folder.get(), at.name);
}

Status ScheduleDeleteAtRestart(TextView name) {
    posix::JournalRecord record;
    record.kind = posix::JournalRecord::Kind::Delete;
    Status status = posix::QueuedEntry(name, record.target);
    Descriptor folder;
    if (status.Succeeded()) status = posix::OpenFolder(FolderOf(record.target), folder);
    if (status.Succeeded()) status = posix::QueueableFolder(folder.get(), record.targetFolder);
    return status.Failed() ? status : posix::QueueRecord(record);
}

}  // namespace pinfile
