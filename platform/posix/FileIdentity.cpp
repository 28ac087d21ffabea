#include "FileIdentity.h"

#include <fcntl.h>
#include <linux/btrfs.h>  // BTRFS_IOC_GET_SUBVOL_INFO
#include <linux/magic.h>  // BTRFS_SUPER_MAGIC
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>

#include "SystemCall.h"

namespace pinfile::posix {

bool IsSameFile(const FileIdentity& now, const FileIdentity& recorded) {
    if (now.inode != recorded.inode) return false;
    // Device numbers hold for one boot; within it, they tell apart what is alike in all else.
    const bool sameBoot = recorded.boot != 0 && now.boot == recorded.boot;
    if (sameBoot && now.device != recorded.device) return false;
    if (recorded.subvolume != 0 && now.subvolume != recorded.subvolume) return false;
    const bool stable =
        recorded.volume != 0 || recorded.bornSeconds != 0 || recorded.bornNanoseconds != 0;
    if (!stable) return now.device == recorded.device;
    return now.volume == recorded.volume && now.bornSeconds == recorded.bornSeconds &&
           now.bornNanoseconds == recorded.bornNanoseconds;
}

namespace {

// A UUID folded to the 64 bits that a record keeps of it.
std::uint64_t Folded(const std::uint8_t* uuid, std::size_t length) {
    std::uint64_t folded = 0;
    for (std::size_t i = 0; i < length; ++i) {
        folded ^= static_cast<std::uint64_t>(uuid[i]) << (8 * (i % 8));
    }
    return folded;
}

// The kernel's struct fsuuid2 and its request, which the system's headers gain only with
// Linux 6.5.
struct FileSystemUuid {
    std::uint8_t length;
    std::uint8_t uuid[16];  // the largest UUID the kernel tells
};
constexpr unsigned long kGetFileSystemUuid = _IOR(0x15, 0, FileSystemUuid);  // FS_IOC_GETFSUUID

// The UUID that the file system keeps in its superblock, folded to 64 bits; 0 where it has
// none or the kernel cannot tell it (before Linux 6.5).
std::uint64_t VolumeOf(int fd) {
    FileSystemUuid answer{};
    if (ioctl(fd, kGetFileSystemUuid, &answer) != 0) return 0;
    return Folded(answer.uuid, std::min<std::size_t>(answer.length, sizeof answer.uuid));
}

// The UUID of the btrfs subvolume that holds the file, folded; 0 on other file systems. A
// snapshot has the inodes and birth times of its subvolume, and a device number of its own
// only until the next boot: after that, this UUID alone tells the two apart. Any user may ask.
std::uint64_t SubvolumeOf(int fd) {
    struct statfs system {};
    if (fstatfs(fd, &system) != 0 || system.f_type != BTRFS_SUPER_MAGIC) return 0;
    btrfs_ioctl_get_subvol_info_args info{};
    // A success may be answered with 1.
    if (ioctl(fd, BTRFS_IOC_GET_SUBVOL_INFO, &info) < 0) return 0;
    return Folded(info.uuid, sizeof info.uuid);
}

// The kernel's random identity of this boot, folded; 0 where it cannot be read. Device
// numbers hold within one boot, so a record keeps the boot it saw them in.
std::uint64_t ReadCurrentBoot() {
    std::string text = ReadBootId();
    std::erase(text, '-');
    std::array<std::uint8_t, 16> uuid{};
    if (text.size() != 2 * uuid.size()) return 0;
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const char* pair = text.data() + 2 * i;
        if (std::from_chars(pair, pair + 2, uuid[i], 16).ptr != pair + 2) return 0;
    }
    return Folded(uuid.data(), uuid.size());
}

}  // namespace

std::string ReadBootId() {
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    return id;
}

Status IdentityOf(int fd, FileIdentity& identity) {
    struct statx info {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
        return LastError();
    }
    static const std::uint64_t currentBoot = ReadCurrentBoot();
    identity.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    identity.boot = currentBoot;
    identity.volume = VolumeOf(fd);
    identity.subvolume = SubvolumeOf(fd);
    identity.inode = info.stx_ino;
    const bool born = (info.stx_mask & STATX_BTIME) != 0;
    identity.bornSeconds = born ? info.stx_btime.tv_sec : 0;
    identity.bornNanoseconds = born ? info.stx_btime.tv_nsec : 0;
    identity.owner = info.stx_uid;
    identity.size = info.stx_size;
    identity.modifiedSeconds = info.stx_mtime.tv_sec;
    identity.modifiedNanoseconds = info.stx_mtime.tv_nsec;
    return {};
}

}  // namespace pinfile::posix
