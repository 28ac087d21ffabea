#include "../FileSystem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../UtilityLibrary.h"
#include "FileCopy.h"
#include "Locations.h"
#include "journal/BootRunner.h"
#include "journal/JournalFile.h"
#include "journal/QueuedNames.h"

namespace pinfile {

// What a staged file holds open: the folder it lies in, and itself.
struct StagedFile::Held {
    posix::Descriptor folder;
    posix::Descriptor file;
    std::string name;        // the staged file's name in the folder
    std::string target;      // the file it is to replace, as resolved when it was made
    std::string targetName;  // the target's name in the folder
};

namespace {

using posix::Checked;
using posix::Descriptor;
using posix::LastError;
using posix::NameAt;

FileCallResult InUse() { return {Status(EBUSY), true}; }

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
constexpr long kTmpfsMagic = 0x01021994;
constexpr long kRamfsMagic = 0x858458f6;

// The folder of a queued operation, as the record proves it at boot.
Status QueueableFolder(int folder, posix::FileIdentity& identity) {
    struct statfs system {};
    if (fstatfs(folder, &system) != 0) return LastError();
    const auto type = static_cast<long>(system.f_type);
    if (type == kTmpfsMagic || type == kRamfsMagic) return Status(EOPNOTSUPP);
    return posix::IdentityOf(folder, identity);
}

// Only a regular file is a source: a FIFO or a device could be read forever.
Status OpenSource(TextView source, Descriptor& in, struct stat& info) {
    in.reset(open(Text(source).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in.valid() || fstat(in.get(), &info) != 0) return LastError();
    if (S_ISDIR(info.st_mode)) return Status(EISDIR);
    return S_ISREG(info.st_mode) ? Status() : Status(EINVAL);
}

// Every attribute that a new file keeps but the access ACL, which could let others write the
// staged file while it waits.
bool StagedAttribute(std::string_view name) {
    return posix::KeptAttribute(name) && name != posix::kAccessAcl;
}

// Makes the staged file what an immediate copy would put in place, as far as it may be while
// it waits: the target's attributes and permission bits, but owned by root, without set-id
// bits and writable by nobody else, or it could be changed under a replacement that root
// carries out. The record keeps the target's owner, group, mode and access ACL for the boot,
// and the staged file as the boot will check it. All through what is held open: the target
// as a name in the folder held, the staged file by its descriptor.
Status PrepareStagedFile(const StagedFile::Held& held, posix::JournalRecord& record) {
    struct stat target {};
    const int folder = held.folder.get();
    if (fstatat(folder, held.targetName.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0) {
        return LastError();
    }
    record.targetOwner = target.st_uid;
    record.targetGroup = target.st_gid;
    record.targetMode = target.st_mode & 07777U;
    const posix::AttributeSource attributes = posix::AttributesOf(folder, held.targetName);
    Status status = posix::ReadAttribute(attributes, posix::kAccessAcl, record.targetAcl);
    const int file = held.file.get();
    if (status.Succeeded()) status = Checked(fchmod(file, target.st_mode & 0755U));
    if (status.Succeeded()) status = posix::CopyAttributes(attributes, file, StagedAttribute);
    if (status.Succeeded()) status = Checked(fsync(file));
    if (status.Succeeded()) status = posix::IdentityOf(file, record.stagedFile);
    return status;
}

FileCallResult Queue(const posix::JournalRecord& record) {
    posix::Journal journal;
    Status status = journal.Open(posix::JournalPath(), true);
    if (status.Succeeded()) status = journal.Append(record);
    if (status.Succeeded()) MarkRestartRequired();
    return status;
}

// Removes the staged files in the folder that no waiting operation needs; when the queue
// cannot be read, nothing, as any of them might be needed.
void RemoveUnneededStagedFiles(int folder) {
    std::vector<posix::JournalEntry> entries;
    const Status read = posix::ReadJournal(posix::JournalPath(), entries);
    if (read.Succeeded() || read.Code() == ENOENT) {
        posix::RemoveUnneededStagedFiles(folder, entries);
    }
}

}  // namespace

void StagedFile::HeldDeleter::operator()(Held* held) const { delete held; }

// Removes the staged file if its name still leads to it; whatever another user put under
// that name stays.
void StagedFile::Discard(Held& held) {
    if (posix::NameLeadsTo(held.folder.get(), held.name, held.file.get())) {
        unlinkat(held.folder.get(), held.name.c_str(), 0);
    }
}

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
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

FileCallResult CopyFileNow(TextView source, TextView target) {
    Descriptor in;
    struct stat sourceInfo {};
    if (const Status opened = OpenSource(source, in, sourceInfo); opened.Failed()) {
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

    // A target that another process has locked is in use; ours keeps it until we are done.
    Descriptor existing;
    if (HoldOn(at.folder.get(), at.name, O_NOFOLLOW, existing) != Hold::Free) return InUse();

    RemoveUnneededStagedFiles(at.folder.get());
    return posix::ReplaceWithCopyAt(in.get(), sourceInfo.st_mode, at.folder.get(), at.name);
}

// The folder is proven by identity when the queue is read, and the name is exact.
Text QueueNameOf(TextView name) { return Text(name); }

FileCallResult DeleteFileNow(TextView name) {
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

StagedFile CreateStagedFile(TextView target, TextView prefix) {
    StagedFile::HeldPointer held(new StagedFile::Held());
    // The file that the immediate copy would write, found the same way, and its folder held.
    NameAt at;
    Status resolved = posix::OpenCopyTarget(target, at);
    if (resolved.Succeeded()) {
        resolved = posix::CanonicalName(at.folder.get(), at.name, held->target);
    }
    if (resolved.Failed()) return StagedFile(resolved.Code());
    held->folder = std::move(at.folder);
    held->targetName = std::move(at.name);
    const std::string folder = FolderOf(held->target);
    RemoveUnneededStagedFiles(held->folder.get());
    const auto makeName = [&] {
        return StagedFileName(prefix, posix::UniqueName("", kStagedNames.mostLetters));
    };
    const Status created =
        posix::CreateLockedFile(held->folder.get(), makeName, held->name, held->file);
    if (created.Failed()) return StagedFile(created.Code() == EEXIST ? 0 : created.Code());
    Text name = ulBuildFileName(folder, held->name);
    return StagedFile(std::move(name), std::move(held));
}

FileCallResult CopyIntoStagedFile(TextView source, StagedFile& staged) {
    Descriptor in;
    struct stat info {};
    Status status = OpenSource(source, in, info);
    if (status.Succeeded()) status = posix::CopyContents(in.get(), staged.Files().file.get());
    return status;
}

// The staged file knows the target it was made for, resolved then; no name is resolved again.
FileCallResult ScheduleReplaceAtRestart(StagedFile& staged, TextView /*target*/) {
    const StagedFile::Held& held = staged.Files();
    posix::JournalRecord record;
    record.kind = posix::JournalRecord::Kind::Replace;
    record.staged = staged.Name();
    record.target = held.target;
    Status status = QueueableFolder(held.folder.get(), record.targetFolder);
    if (status.Succeeded()) status = PrepareStagedFile(held, record);
    // The staged file's name must be on disk before the record that names it.
    if (status.Succeeded()) status = Checked(fsync(held.folder.get()));
    return status.Failed() ? status : Queue(record);
}

FileCallResult ScheduleDeleteAtRestart(TextView name) {
    posix::JournalRecord record;
    record.kind = posix::JournalRecord::Kind::Delete;
    Status status = posix::QueuedEntry(name, record.target);
    Descriptor folder;
    if (status.Succeeded()) status = posix::OpenFolder(FolderOf(record.target), folder);
    if (status.Succeeded()) status = QueueableFolder(folder.get(), record.targetFolder);
    return status.Failed() ? status : Queue(record);
}

}  // namespace pinfile
