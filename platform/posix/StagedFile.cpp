// The staged file on POSIX: made locked and marked in the target's folder, filled through its
// descriptor, and queued as a journal record that proves the target's folder and the file.
#include "../StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

#include "../UtilityLibrary.h"
#include "FileCopy.h"
#include "FileTasks.h"
#include "Links.h"
#include "Locations.h"
#include "journal/JournalFile.h"

namespace pinfile {

const ErrorCode kNoStagedNameLeft = EEXIST;

// What a staged file holds open: the folder it lies in, and itself.
struct StagedFile::Held {
    posix::Descriptor folder;
    posix::Descriptor file;
    std::string name;        // the staged file's name in the folder
    std::string targetName;  // the target's name in the folder
};

namespace {

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
        return posix::LastError();
    }
    record.targetOwner = target.st_uid;
    record.targetGroup = target.st_gid;
    record.targetMode = target.st_mode & 07777U;
    const posix::AttributeSource attributes = posix::AttributesOf(folder, held.targetName);
    Status status = posix::ReadAttribute(attributes, posix::kAccessAcl, record.targetAcl);
    const int file = held.file.get();
    if (status.Succeeded()) status = posix::Checked(fchmod(file, target.st_mode & 0755U));
    if (status.Succeeded()) status = posix::CopyAttributes(attributes, file, StagedAttribute);
    if (status.Succeeded()) status = posix::Checked(fsync(file));
    if (status.Succeeded()) status = posix::IdentityOf(file, record.stagedFile);
    return status;
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

StagedFile CreateStagedFile(TextView target, TextView prefix) {
    StagedFile::HeldPointer held(new StagedFile::Held());
    // The file that the immediate copy would write, found the same way, and its folder held.
    posix::NameAt at;
    std::string resolvedTarget;
    Status resolved = posix::OpenCopyTarget(target, at);
    if (resolved.Succeeded()) {
        resolved = posix::CanonicalName(at.folder.get(), at.name, resolvedTarget);
    }
    if (resolved.Failed()) return StagedFile(resolved);
    held->folder = std::move(at.folder);
    held->targetName = std::move(at.name);
    const std::string folder = FolderOf(resolvedTarget);
    const auto makeName = [&] {
        return StagedFileName(prefix, posix::UniqueName("", kStagedNames.mostLetters));
    };
    const Status created = posix::CreateLockedFile(held->folder.get(), makeName,
                                                   posix::RunJournalId(), held->name, held->file);
    // When every name it tried was taken, the failure is EEXIST: kNoStagedNameLeft.
    if (created.Failed()) return StagedFile(created);
    Text name = ulBuildFileName(folder, held->name);
    return StagedFile(std::move(name), std::move(resolvedTarget), std::move(held));
}

Status CopyIntoStagedFile(TextView source, StagedFile& staged) {
    posix::Descriptor in;
    struct stat info {};
    Status status = posix::OpenSource(source, in, info);
    if (status.Succeeded()) status = posix::CopyContents(in.get(), staged.Files().file.get());
    return status;
}

// The staged file knows the target it was made for, resolved then; no name is resolved again.
Status ScheduleReplaceAtRestart(StagedFile& staged) {
    const StagedFile::Held& held = staged.Files();
    posix::JournalRecord record;
    record.kind = posix::JournalRecord::Kind::Replace;
    record.staged = staged.Name();
    record.target = staged.Target();
    Status status = posix::QueueableFolder(held.folder.get(), record.targetFolder);
    if (status.Succeeded()) status = PrepareStagedFile(held, record);
    // The staged file's name must be on disk before the record that names it.
    if (status.Succeeded()) status = posix::Checked(fsync(held.folder.get()));
    return status.Failed() ? status : posix::QueueRecord(record);
}

}  // namespace pinfile
