// How pinfile resolves the names it is given. A copy writes through a symbolic link, so pinfile
// follows the last component itself, here and nowhere else, with the kernel's own protection of
// links; every other component is the kernel's to resolve. The names that restart records hold
// are absolute and canonical, as resolved when the operation is queued, so that the boot follows
// no link put in later.
#pragma once

#include <sys/types.h>

#include <string>

#include "../Status.h"
#include "../Text.h"
#include "Durable.h"

namespace pinfile::posix {

// A name as the *at calls take it: the folder it lies in, held open, and its last component.
struct NameAt {
    Descriptor folder;
    std::string name;
};

// Opens the folder of the name as given. A relative name stays relative, so that no path longer
// than the system's limit is built.
Status OpenNameAt(TextView path, NameAt& at);

// The file that a copy to the target writes, in the immediate copy and in the queued one alike:
// the name is followed while it is a symbolic link (one that leads nowhere yet names the file
// that the copy creates), and the folder that finally holds the file is open. A link that the
// kernel would not follow for this process, as fs.protected_symlinks sets it, is refused with
// EACCES, as the kernel refuses it to cp.
Status OpenCopyTarget(TextView target, NameAt& at);

// Whether a process whose effective user is follower may follow a link of linkOwner that lies
// in a folder of that mode and owner: the kernel's rule while fs.protected_symlinks is on, where
// in a sticky folder that anyone may write only the follower's own links and the folder owner's
// are followed.
bool MayFollowLink(bool linksProtected, uid_t follower, uid_t linkOwner, mode_t folderMode,
                   uid_t folderOwner);

// The absolute, canonical name of a file in an open folder: the folder's own name as the kernel
// knows it, which must still lead to that folder.
Status CanonicalName(int folder, const std::string& name, std::string& canonical);

// A copy's target as a record holds it: the file that the copy writes (OpenCopyTarget).
Status QueuedTarget(TextView target, std::string& queued);

// A name to delete: a link itself goes, so its folder is resolved and the last component kept as
// it is.
Status QueuedEntry(TextView name, std::string& queued);

}  // namespace pinfile::posix
