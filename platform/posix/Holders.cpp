#include "../Holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../HolderRules.h"
#include "../PendingQueue.h"
#include "Durable.h"
#include "Links.h"

namespace pinfile {

namespace {

using holders::FileKey;
using posix::Descriptor;

constexpr std::string_view kDeletedMark = " (deleted)";

// A file as stat tells it; no file has inode 0, which stands for none.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;

    bool operator==(const Identity&) const = default;
};

bool IsKeyOf(const Identity& file, const FileKey& key) {
    return file.inode != 0 && file.device == makedev(key.major, key.minor) &&
           file.inode == key.inode;
}

enum class Read { Done, Gone, Refused };

// Whether a failed call on a process's /proc entry means it ended meanwhile, or that this
// user may not look.
Read Failure() { return errno == ENOENT || errno == ESRCH ? Read::Gone : Read::Refused; }

// The whole of a /proc file, into a buffer that the caller reuses from process to process.
Read ReadProcFile(const std::string& path, std::string& content) {
    content.clear();
    const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return Failure();
    // Most /proc files (maps, status) fit in one read of this size; longer ones take a few.
    constexpr std::size_t kChunk = std::size_t{64} * 1024;
    for (;;) {
        const std::size_t had = content.size();
        content.resize(had + kChunk);
        const ssize_t got =
            posix::RetryOnInterrupt([&] { return read(file.get(), content.data() + had, kChunk); });
        content.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got == 0) return Read::Done;
        if (got < 0) return Failure();
    }
}

template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        visit(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

// The file that the name leads to, as the kernel names what a process maps: resolved by the
// one link follower that a copy to the name uses, so that the file looked at is the file a
// copy would replace. A name that cannot be resolved (its folder missing, a link that the
// kernel refuses to follow) is kept as given, made absolute.
std::string CanonicalOrPlain(const Text& name) {
    std::string canonical;
    if (posix::QueuedTarget(name, canonical).Succeeded()) return canonical;
    std::error_code error;
    return std::filesystem::absolute(name, error).lexically_normal().string();
}

// Whether a mapping is a version of the file other than the one that its name leads to now.
enum class Verdict { Current, Old, Unknown, Gone };

class Scan {
  public:
    explicit Scan(bool everyFile) : everyFile_(everyFile) { ReadMountedDevices(); }

    // The named files, by their full names with every link resolved (as the kernel names
    // what a process maps); the old versions of these are looked for, and their locks.
    void WantFiles(const std::vector<Text>& names) {
        for (const Text& name : names) {
            const std::string canonical = CanonicalOrPlain(name);
            wanted_.insert(canonical);
            lockTargets_.push_back(canonical);
            std::string shown;  // as a maps line ends with it
            for (const char c : canonical)
                shown += c == '\n' ? std::string("\\012") : std::string(1, c);
            endings_.push_back(shown);
            endings_.push_back(shown + std::string(kDeletedMark));
        }
    }

    // Files whose locks are looked for, without looking for their old versions.
    void WantLocksOn(const std::string& name) { lockTargets_.push_back(name); }

    void Incomplete() { report_.complete = false; }

    void FindLocks();
    void ScanProcesses();
    HolderReport Finish();

  private:
    void ReadMountedDevices();
    Identity IdentityNow(const std::string& name);
    // With no names, a deleted file that a process maps as its own (private) code or data or
    // runs; a shared mapping of a deleted file is how programs share memory among themselves
    // (Wine, browsers, sound servers), no old version of anything. A named file counts in
    // every mapping.
    bool Wanted(const std::string& name, bool deleted, bool shared) const {
        return everyFile_ ? deleted && !shared : wanted_.contains(name);
    }
    // Whether a maps line may name a wanted file, told from its end alone: most lines do not.
    bool MayBeWanted(std::string_view line) const {
        if (everyFile_) return line.ends_with(kDeletedMark);
        return std::any_of(endings_.begin(), endings_.end(),
                           [line](const std::string& ending) { return line.ends_with(ending); });
    }
    bool Mounted(const FileKey& key) const { return mounted_.contains({key.major, key.minor}); }
    Verdict Judge(const std::string& entry, const FileKey* key, const std::string& name,
                  bool deleted);
    void Add(std::int64_t pid, const std::string& file, FileHolder::Why why);
    void Take(std::int64_t pid, const std::string& file, Verdict verdict);
    void ScanMaps(std::int64_t pid, const std::string& folder);
    void ScanExecutable(std::int64_t pid, const std::string& folder);
    void ScanDescriptors(std::int64_t pid, const std::string& folder);

    bool everyFile_;
    std::unordered_set<std::string> wanted_;
    std::vector<std::string> endings_;
    std::vector<std::string> lockTargets_;
    std::set<std::pair<std::uint32_t, std::uint32_t>> mounted_;
    std::unordered_map<std::string, Identity> now_;
    // Locks that no living process is named for (an open file description's lock, or one
    // whose taker has ended and left it to a child): found by the descriptors that hold them.
    std::vector<std::pair<FileKey, std::string>> unowned_;
    std::set<std::tuple<std::int64_t, std::string, FileHolder::Why>> found_;
    std::set<std::pair<FileKey, std::string>> ownerFound_;
    std::string buffer_;
    HolderReport report_;
};

// A file system mounted here: a mapping of a file on any other (memfd, System V shared memory,
// an anonymous shared mapping) was never a file of this tree, and its name means nothing here.
void Scan::ReadMountedDevices() {
    if (ReadProcFile("/proc/self/mountinfo", buffer_) != Read::Done) {
        Incomplete();
        return;
    }
    ForEachLine(buffer_, [this](std::string_view line) {
        if (const auto device = holders::MountedDevice(line)) {
            mounted_.emplace(device->major, device->minor);
        }
    });
}

Identity Scan::IdentityNow(const std::string& name) {
    const auto known = now_.find(name);
    if (known != now_.end()) return known->second;
    struct stat info {};
    Identity identity;
    if (stat(name.c_str(), &info) == 0) identity = Identity{info.st_dev, info.st_ino};
    return now_.emplace(name, identity).first->second;
}

// entry: the process's own link to the mapped file (map_files, exe), which stat follows to
// the file itself where this user may; key: what the maps line says of it, when it says.
Verdict Scan::Judge(const std::string& entry, const FileKey* key, const std::string& name,
                    bool deleted) {
    const Identity now = IdentityNow(name);
    // A file whose own name ends in the mark is the file under that name.
    const Identity literal = deleted ? IdentityNow(name + std::string(kDeletedMark)) : Identity();
    if (key != nullptr && (IsKeyOf(now, *key) || IsKeyOf(literal, *key))) return Verdict::Current;
    struct stat mapped {};
    if (stat(entry.c_str(), &mapped) == 0) {
        const Identity file{mapped.st_dev, mapped.st_ino};
        return now == file || literal == file ? Verdict::Current : Verdict::Old;
    }
    if (errno == ENOENT || errno == ESRCH) return Verdict::Gone;
    if (key == nullptr) return Verdict::Unknown;
    // Where the tables number a device otherwise than stat does (btrfs subvolumes), only the
    // inode can be compared.
    const bool sameInode = now.inode == key->inode || literal.inode == key->inode;
    return sameInode ? Verdict::Unknown : Verdict::Old;
}

void Scan::Add(std::int64_t pid, const std::string& file, FileHolder::Why why) {
    found_.emplace(pid, file, why);
}

void Scan::Take(std::int64_t pid, const std::string& file, Verdict verdict) {
    if (verdict == Verdict::Old) Add(pid, file, FileHolder::Why::OldVersion);
    if (verdict == Verdict::Unknown) Incomplete();
}

void Scan::ScanMaps(std::int64_t pid, const std::string& folder) {
    const Read read = ReadProcFile(folder + "/maps", buffer_);
    if (read == Read::Refused) Incomplete();
    if (read != Read::Done) return;
    std::optional<FileKey> last;  // a file maps in several parts, one line each
    ForEachLine(buffer_, [&](std::string_view line) {
        if (!MayBeWanted(line)) return;
        const auto mapped = holders::ParseMapsLine(line);
        if (!mapped || mapped->key == last ||
            !Wanted(mapped->name, mapped->deleted, mapped->shared) || !Mounted(mapped->key)) {
            return;
        }
        last = mapped->key;
        Take(pid, mapped->name,
             Judge(folder + "/map_files/" + mapped->range, &mapped->key, mapped->name,
                   mapped->deleted));
    });
}

// The program file itself, which a process may run without mapping all of it.
void Scan::ScanExecutable(std::int64_t pid, const std::string& folder) {
    const std::string link = folder + "/exe";
    char target[PATH_MAX];  // the longest name the kernel gives a program by
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof target) return;
    std::string name(target, static_cast<std::size_t>(length));
    const bool deleted = name.ends_with(kDeletedMark);
    if (deleted) name.resize(name.size() - kDeletedMark.size());
    if (!name.starts_with('/') || !Wanted(name, deleted, false)) return;
    struct stat program {};
    if (stat(link.c_str(), &program) != 0) {
        if (Failure() == Read::Refused) Incomplete();
        return;
    }
    const FileKey key{major(program.st_dev), minor(program.st_dev), program.st_ino};
    if (Mounted(key)) Take(pid, name, Judge(link, &key, name, deleted));
}

void Scan::ScanDescriptors(std::int64_t pid, const std::string& folder) {
    const std::string descriptors = folder + "/fd/";
    DIR* listing = opendir(descriptors.c_str());
    if (listing == nullptr) {
        if (Failure() == Read::Refused) Incomplete();
        return;
    }
    std::string fdinfo;
    for (const dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
        struct stat info {};
        if (entry->d_name[0] == '.' || stat((descriptors + entry->d_name).c_str(), &info) != 0) {
            continue;
        }
        for (const auto& unowned : unowned_) {
            const FileKey& key = unowned.first;
            const std::string& file = unowned.second;
            if (!IsKeyOf(Identity{info.st_dev, info.st_ino}, key)) continue;
            if (ReadProcFile(folder + "/fdinfo/" + entry->d_name, fdinfo) != Read::Done) continue;
            ForEachLine(fdinfo, [&](std::string_view line) {
                const auto lock = holders::ParseLockLine(line);
                if (line.starts_with("lock:") && lock && lock->key == key) {
                    Add(pid, file, FileHolder::Why::Lock);
                    ownerFound_.emplace(key, file);
                }
            });
        }
    }
    closedir(listing);
}

// The kernel's table of locks names each holder's process, but for a lock that belongs to an
// open file description rather than a process.
void Scan::FindLocks() {
    if (lockTargets_.empty()) return;
    if (ReadProcFile("/proc/locks", buffer_) != Read::Done) {
        Incomplete();
        return;
    }
    ForEachLine(buffer_, [this](std::string_view line) {
        const auto lock = holders::ParseLockLine(line);
        if (!lock) return;
        for (const std::string& file : lockTargets_) {
            if (!IsKeyOf(IdentityNow(file), lock->key)) continue;
            const bool living =
                lock->pid > 0 && access(("/proc/" + std::to_string(lock->pid)).c_str(), F_OK) == 0;
            if (living) {
                Add(lock->pid, file, FileHolder::Why::Lock);
            } else {
                unowned_.emplace_back(lock->key, file);
            }
        }
    });
}

void Scan::ScanProcesses() {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        Incomplete();
        return;
    }
    const bool scanMaps = everyFile_ || !wanted_.empty();
    for (const dirent* entry = readdir(proc); entry != nullptr; entry = readdir(proc)) {
        const std::string_view name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) {
            continue;
        }
        const std::int64_t pid = std::stoll(std::string(name));
        const std::string folder = "/proc/" + std::string(name);
        if (scanMaps) {
            ScanMaps(pid, folder);
            ScanExecutable(pid, folder);
        }
        if (!unowned_.empty()) ScanDescriptors(pid, folder);
    }
    closedir(proc);
    for (const auto& unowned : unowned_) {
        if (!ownerFound_.contains(unowned)) Incomplete();
    }
}

// The records, in the order of process numbers, each with its command and unit.
HolderReport Scan::Finish() {
    std::map<std::int64_t, std::pair<std::string, std::string>> described;
    for (const auto& [pid, file, why] : found_) {
        auto [place, added] = described.try_emplace(pid);
        if (added) {
            const std::string folder = "/proc/" + std::to_string(pid);
            if (ReadProcFile(folder + "/comm", buffer_) == Read::Done) {
                place->second.first = buffer_.substr(0, buffer_.find('\n'));
            }
            if (ReadProcFile(folder + "/cgroup", buffer_) == Read::Done) {
                place->second.second = holders::UnitOfCgroups(buffer_);
            }
        }
        report_.processes.push_back({pid, place->second.first, file, place->second.second, why});
    }
    return std::move(report_);
}

}  // namespace

HolderReport FindHolders(const std::vector<Text>& names) {
    Scan scan(names.empty());
    if (names.empty()) {
        const PendingList queue = ReadPendingOperations();
        if (queue.status.Failed() || queue.insecure) scan.Incomplete();
        for (const PendingOperation& operation : queue.operations) {
            if (operation.kind == PendingOperation::Kind::Replace)
                scan.WantLocksOn(operation.target);
            if (operation.kind == PendingOperation::Kind::Delete)
                scan.WantLocksOn(operation.source);
        }
    } else {
        scan.WantFiles(names);
    }
    scan.FindLocks();
    scan.ScanProcesses();
    return scan.Finish();
}

}  // namespace pinfile
