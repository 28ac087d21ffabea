// File mechanics shared by the POSIX file commands and the boot-time queue runner.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "Durable.h"
#include "FileIdentity.h"
#include "MarkedFiles.h"
#include "SystemCall.h"

namespace pinfile::posix {

// The access ACL, as the system stores it in an extended attribute.
inline constexpr const char* kAccessAcl = "system.posix_acl_access";

// An attribute that a new file may take over from the one it replaces: all but a file
// capability, which belongs to the old program (writing the file in place would clear it),
// and pinfile's mark, which a new file of pinfile's has of its own.
bool KeptAttribute(std::string_view name);

// Copies the whole contents of one open file into another, holes kept.
Status CopyContents(int from, int to);

// A file in an opened folder whose extended attributes are read.
struct AttributeSource {
    int folder;
    std::string name;
};

// The value of the named file's extended attribute (links not followed), of any size; empty
// when the file has no such attribute or its file system none at all.
Status ReadAttribute(const AttributeSource& file, const char* name, std::string& value);

// Gives the open file what the named file in the folder has: owner and group (where the
// system lets a user who is not root), all permission bits, and the extended attributes that
// wanted picks (by default all but a file capability), which carry ACLs and security labels.
// When there is no such regular file, the file gets the fallback's permission bits.
Status TakeOverMetadata(int out, int folder, const std::string& name, mode_t fallbackMode,
                        bool (*wanted)(std::string_view) = nullptr);

// Sets owner and group (where the system lets a user who is not root), then all permission
// bits, of the open file.
Status SetOwnerAndMode(int fd, uid_t owner, gid_t group, mode_t mode);

// Copies the extended attributes of the named file (any file type; links are not followed)
// that wanted picks to the open file. A file system without them is no error.
Status CopyAttributes(const AttributeSource& from, int to, bool (*wanted)(std::string_view));

// The file of that name in the opened folder, as the attribute calls reach it.
AttributeSource AttributesOf(int folder, const std::string& name);

// Writes a new file in the target's folder, complete and on disk, with the target's metadata
// (or, for a new target, the given permission bits), and renames it over the target: anyone who has
// the old file open or mapped keeps it whole, and a crash leaves either the old file or the new
// one. The new file is written unnamed and marked with the journal's identity, and gets its
// private name only for the rename, so that a run killed meanwhile leaves nothing, or at most
// a private file that a later run can prove pinfile's.
Status ReplaceWithCopy(int source, mode_t mode, const std::filesystem::path& target,
                       const std::string& journalId);

// The same within a folder that the caller has opened: the target is a name in it.
Status ReplaceWithCopyAt(int source, mode_t mode, int folder, const std::string& name,
                         const std::string& journalId);

}  // namespace pinfile::posix
