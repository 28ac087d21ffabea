// File mechanics shared by the POSIX file commands and the boot-time queue runner.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Durable.h"
#include "SystemCall.h"
#include "journal/Record.h"

namespace pinfile::posix {

// A name made of the prefix and random letters, for a new file that must not meet another.
std::string UniqueName(std::string_view prefix, std::size_t letters);

// The extended attribute that proves a file pinfile's own: set through the file's descriptor
// before the file has a name, holding the identity of the journal that it was made for. Only
// root may write (or read) a trusted attribute, so no other user can put it on a file.
inline constexpr const char* kMarkAttribute = "trusted.pinfile";

// Marks the open file as pinfile's, made for the journal of that identity; best effort: on a
// file system without extended attributes, or with no identity to mark with, the file stays
// unmarked, and no sweep will ever remove it.
void MarkAsPinfiles(int file, const std::string& journalId);

// Takes the mark off a file that pinfile has put in a target's place: it is the user's now.
void RemoveMark(int file);

// Opens a new, unnamed file (mode 0600) in the folder, marked and locked by this process
// before it can have a name (MarkAsPinfiles); ENOTSUP and the like where the file system has
// no unnamed files.
Status CreateUnnamedFile(int folder, const std::string& journalId, Descriptor& file);

// Gives the unnamed file a name from makeName in the folder, one that nothing else has.
Status NameUnnamedFile(int folder, int file, const std::function<std::string()>& makeName,
                       std::string& name);

// Creates a new file (mode 0600) in the folder, under a name from makeName, that carries this
// process's lock from the moment it has a name, so that no other run takes it for a leftover,
// and pinfile's mark where the file system makes unnamed files (otherwise the file is named
// at once and unmarked: no sweep will remove it).
Status CreateLockedFile(int folder, const std::function<std::string()>& makeName,
                        const std::string& journalId, std::string& name, Descriptor& file);

// The names of the staged files that open records need, wherever they lie.
using NeededNames = std::unordered_set<std::string>;

// Removes what runs of pinfile left in the folder when they were killed, and only what pinfile
// proves it made for this journal: a file under the exact name form of a copy's private file
// or of a staged file, that is root's, has one link, is locked by nobody, and carries the
// mark of the journal's identity. What a record needs (by name) stays, and so does keep, the
// command's own source (an open file, or -1).
void RemoveLeftovers(int folder, const std::string& journalId, const NeededNames& needed, int keep);

// True while the name in the folder leads to the open file itself (not a link to it): the
// check before a file that pinfile made is removed by its name.
bool NameLeadsTo(int folder, const std::string& name, int file);

// The access ACL, as the system stores it in an extended attribute.
inline constexpr const char* kAccessAcl = "system.posix_acl_access";

// An attribute that a new file may take over from the one it replaces: all but a file
// capability, which belongs to the old program (writing the file in place would clear it),
// and pinfile's mark, which a new file of pinfile's has of its own.
bool KeptAttribute(std::string_view name);

// Copies the whole contents of one open file into another, holes kept.
Status CopyContents(int from, int to);

// What the system tells of the open file, for a record to prove it by, in this boot and after
// the next.
Status IdentityOf(int fd, FileIdentity& identity);

// The kernel's random id of this boot (/proc/sys/kernel/random/boot_id, the machine's own also
// under the test root), as it reads it out; empty where it cannot be read.
std::string ReadBootId();

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
// one. The new file is written unnamed and marked with the journal's identity, and gets its
// private name only for the rename, so that a run killed meanwhile leaves nothing, or at most
// a private file that a later run can prove pinfile's.
Status ReplaceWithCopy(int source, mode_t mode, const std::filesystem::path& target,
                       const std::string& journalId);

// The same within a folder that the caller has opened: the target is a name in it.
Status ReplaceWithCopyAt(int source, mode_t mode, int folder, const std::string& name,
                         const std::string& journalId);

}  // namespace pinfile::posix
