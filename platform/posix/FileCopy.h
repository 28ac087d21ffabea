// File mechanics shared by the POSIX file commands and the boot-time queue runner.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Durable.h"
#include "SystemCall.h"
#include "journal/Record.h"

namespace pinfile::posix {

// A name made of the prefix and random letters, for a new file that must not meet another.
std::string UniqueName(std::string_view prefix, std::size_t letters);

// Creates a new file (mode 0600) in the folder, under a name from makeName, that carries this
// process's lock from the moment it has a name, so that no other run takes it for a leftover.
Status CreateLockedFile(int folder, const std::function<std::string()>& makeName, std::string& name,
                        Descriptor& file);

// Removes the folder's staged files but the needed ones whose writer is gone: left by a run
// killed before it queued the file, or by a withdrawal that a crash cut short. Only this
// user's files of the staged form whose lock nobody holds go.
void RemoveStagedFilesExcept(int folder, const std::vector<std::string>& needed);

// True while the name in the folder leads to the open file itself (not a link to it): the
// check before a file that pinfile made is removed by its name.
bool NameLeadsTo(int folder, const std::string& name, int file);

// The access ACL, as the system stores it in an extended attribute.
inline constexpr const char* kAccessAcl = "system.posix_acl_access";

// An attribute that a new file may take over from the one it replaces: all but a file
// capability, which belongs to the old program (writing the file in place would clear it).
bool KeptAttribute(std::string_view name);

// Copies the whole contents of one open file into another, holes kept.
Status CopyContents(int from, int to);

// What the system tells of the open file, for a record to prove it by after the next boot.
Status IdentityOf(int fd, FileIdentity& identity);

// A file in an opened folder whose extended attributes are read.
struct AttributeSource {
    int folder;
    std::string name;
};

// The value of the named file's extended attribute (links not followed), of any size; empty
// when the file has no such attribute or its file system none at all.
Status ReadAttribute(const AttributeSource& file, const char* name, std::string& value);

// Writes all the bytes at the offset.
Status WriteAllAt(int fd, std::string_view bytes, off_t offset);

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
// one.
Status ReplaceWithCopy(int source, mode_t mode, const std::filesystem::path& target);

// The same within a folder that the caller has opened: the target is a name in it.
Status ReplaceWithCopyAt(int source, mode_t mode, int folder, const std::string& name);

}  // namespace pinfile::posix
