// The files that pinfile makes beside a target (a copy's private file, a staged file) and
// proves its own by a mark, not by how their names look: made unnamed, marked and locked,
// then named; and the sweep that removes what a killed run left of them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "Durable.h"

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

// Gives an unnamed file the name in the folder (EEXIST when the name is taken). Linking the
// descriptor itself needs no /proc, which chroots and image builds often lack, but wants root
// (CAP_DAC_READ_SEARCH); other users link it through its name in /proc.
Status LinkUnnamedFile(int file, int folder, const std::string& name);

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

// A private file's name: a copy's new file gets one for the moment it is renamed over the
// target, in a form that the sweep knows (RemoveLeftovers).
std::string PrivateName();

// Creates the file under a name from makeName at once, for a file system without unnamed
// files: unmarked, and locked right after.
Status CreateNamedLockedFile(int folder, const std::function<std::string()>& makeName,
                             std::string& name, Descriptor& file);

}  // namespace pinfile::posix
