// What tells one file from another: the identity that a restart record keeps of a file or
// folder, read from an open file, and the one comparison of two stat results.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "../Status.h"

namespace pinfile::posix {

// What pinfile knows of a file or folder, to tell it from one put in its place later. The
// device number may change at the next boot (disks found in another order, device-mapper
// minors, btrfs's anonymous devices); the file system's UUID, the btrfs subvolume's UUID and
// the file's birth time do not, so where the system tells them, they prove the file together
// with the inode. They do not tell apart two copies of one file system image mounted side by
// side: within the boot that recorded it, the device number does.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t boot = 0;       // the boot the device number was seen in, folded; 0: unknown
    std::uint64_t volume = 0;     // the file system's UUID folded to 64 bits; 0: none told
    std::uint64_t subvolume = 0;  // the btrfs subvolume's UUID folded to 64 bits; 0: none
    std::uint64_t inode = 0;
    std::int64_t bornSeconds = 0;  // birth time; both 0: not told
    std::uint32_t bornNanoseconds = 0;
    std::uint32_t owner = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::uint32_t modifiedNanoseconds = 0;

    bool operator==(const FileIdentity&) const = default;
};

// True when the file found now is the one recorded: the same inode, in the same subvolume
// where one was recorded, on the same file system by its UUID and born at the same time where
// those were recorded, else on the same device; and on the same device as well while it is
// still the boot that recorded it.
bool IsSameFile(const FileIdentity& now, const FileIdentity& recorded);

// True when two stat results are one file: the same inode on the same device. Within one boot
// and one mount that proves it; across boots it takes a FileIdentity.
inline bool SameInode(const struct stat& first, const struct stat& second) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// What the system tells of the open file, for a record to prove it by, in this boot and after
// the next.
Status IdentityOf(int fd, FileIdentity& identity);

// The kernel's random id of this boot (/proc/sys/kernel/random/boot_id, the machine's own also
// under the test root), as it reads it out; empty where it cannot be read.
std::string ReadBootId();

}  // namespace pinfile::posix
