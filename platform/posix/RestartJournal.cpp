#include "RestartJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "FileCopy.h"

namespace pinfile::posix {

namespace {

constexpr std::size_t kFirstHeaderSize = 9;  // magic, kind, length
constexpr std::size_t kHeaderSize = 14;      // magic, state, error, kind, length
constexpr std::size_t kStateOffset = 4;      // state and error, outside the check
constexpr std::size_t kCheckSize = 4;
// folder: device, volume, inode, birth; staged: the same, owner, size, modification time;
// target: owner, group, mode; flags
constexpr std::size_t kIdentitySize = 36 + 60 + 12 + 4;
// folder: device, inode; staged: device, inode, owner, size, modification time; target
constexpr std::size_t kSecondIdentitySize = 16 + 40 + 12;
constexpr std::uint32_t kAclRecordedFlag = 1;

void PutUint(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

std::uint64_t GetUint(std::string_view bytes, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = (value << 8U) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    }
    return value;
}

// Takes the next little-endian field off the front of the bytes.
template <typename Value>
void Take(std::string_view& bytes, int count, Value& value) {
    value = static_cast<Value>(GetUint(bytes.substr(0, static_cast<std::size_t>(count)), count));
    bytes.remove_prefix(static_cast<std::size_t>(count));
}

std::uint32_t Checksum(std::string_view bytes) {
    const auto* data = reinterpret_cast<const Bytef*>(bytes.data());
    return static_cast<std::uint32_t>(crc32(0L, data, static_cast<uInt>(bytes.size())));
}

void PutPlace(std::string& out, const FileIdentity& identity) {
    PutUint(out, identity.device, 8);
    PutUint(out, identity.volume, 8);
    PutUint(out, identity.inode, 8);
    PutUint(out, static_cast<std::uint64_t>(identity.bornSeconds), 8);
    PutUint(out, identity.bornNanoseconds, 4);
}

void TakePlace(std::string_view& bytes, FileIdentity& identity) {
    Take(bytes, 8, identity.device);
    Take(bytes, 8, identity.volume);
    Take(bytes, 8, identity.inode);
    Take(bytes, 8, identity.bornSeconds);
    Take(bytes, 4, identity.bornNanoseconds);
}

void PutContents(std::string& out, const FileIdentity& identity) {
    PutUint(out, identity.owner, 4);
    PutUint(out, identity.size, 8);
    PutUint(out, static_cast<std::uint64_t>(identity.modifiedSeconds), 8);
    PutUint(out, identity.modifiedNanoseconds, 4);
}

void TakeContents(std::string_view& bytes, FileIdentity& identity) {
    Take(bytes, 4, identity.owner);
    Take(bytes, 8, identity.size);
    Take(bytes, 8, identity.modifiedSeconds);
    Take(bytes, 4, identity.modifiedNanoseconds);
}

void PutTarget(std::string& out, const JournalRecord& record) {
    PutUint(out, record.targetOwner, 4);
    PutUint(out, record.targetGroup, 4);
    PutUint(out, record.targetMode, 4);
}

void TakeTarget(std::string_view& bytes, JournalRecord& record) {
    Take(bytes, 4, record.targetOwner);
    Take(bytes, 4, record.targetGroup);
    Take(bytes, 4, record.targetMode);
}

std::string EncodeIdentities(const JournalRecord& record) {
    std::string out;
    PutPlace(out, record.folder);
    PutPlace(out, record.staged);
    PutContents(out, record.staged);
    PutTarget(out, record);
    PutUint(out, record.aclRecorded ? kAclRecordedFlag : 0, 4);
    return out + record.targetAcl;
}

// No folder has inode 0: a record without identities (one converted from the first
// version) is carried out unchecked.
bool DecodeIdentities(std::string_view bytes, JournalRecord& record) {
    if (bytes.size() < kIdentitySize) return false;
    TakePlace(bytes, record.folder);
    TakePlace(bytes, record.staged);
    TakeContents(bytes, record.staged);
    TakeTarget(bytes, record);
    std::uint32_t flags = 0;
    Take(bytes, 4, flags);
    record.aclRecorded = (flags & kAclRecordedFlag) != 0;
    record.targetAcl = std::string(bytes);
    record.checked = record.folder.inode != 0;
    return record.aclRecorded || record.targetAcl.empty();
}

std::string EncodeSecondIdentities(const JournalRecord& record) {
    std::string out;
    PutUint(out, record.folder.device, 8);
    PutUint(out, record.folder.inode, 8);
    PutUint(out, record.staged.device, 8);
    PutUint(out, record.staged.inode, 8);
    PutContents(out, record.staged);
    PutTarget(out, record);
    return out;
}

bool DecodeSecondIdentities(std::string_view bytes, JournalRecord& record) {
    if (bytes.size() != kSecondIdentitySize) return false;
    Take(bytes, 8, record.folder.device);
    Take(bytes, 8, record.folder.inode);
    Take(bytes, 8, record.staged.device);
    Take(bytes, 8, record.staged.inode);
    TakeContents(bytes, record.staged);
    TakeTarget(bytes, record);
    record.aclRecorded = false;
    record.checked = record.folder.inode != 0;
    return true;
}

std::string Names(const JournalRecord& record) {
    std::string names = record.first;
    names.push_back('\0');
    names += record.second;
    names.push_back('\0');
    return names;
}

// Splits "first NUL second NUL" and checks that the names fit the kind; the rest is returned.
bool ParseNames(char kind, std::string_view& body, JournalRecord& record) {
    if (kind != 'R' && kind != 'D') return false;
    const std::size_t firstEnd = body.find('\0');
    if (firstEnd == std::string_view::npos || firstEnd == 0) return false;
    const std::size_t secondEnd = body.find('\0', firstEnd + 1);
    if (secondEnd == std::string_view::npos) return false;
    record.kind = static_cast<JournalRecord::Kind>(kind);
    record.first = std::string(body.substr(0, firstEnd));
    record.second = std::string(body.substr(firstEnd + 1, secondEnd - firstEnd - 1));
    body.remove_prefix(secondEnd + 1);
    return (record.kind == JournalRecord::Kind::Delete) == record.second.empty();
}

bool IsState(char state) { return state == 'P' || state == 'F' || state == 'C' || state == 'W'; }

// The version that the magic at the start of the bytes names; 0 for none.
int VersionOf(std::string_view bytes) {
    const std::string_view magic = bytes.substr(0, 4);
    if (magic == kJournalMagic) return 3;
    if (magic == kSecondJournalMagic) return 2;
    return magic == kFirstJournalMagic ? 1 : 0;
}

// Reads the record at the start of bytes into entry; its size in bytes, or 0 when it is not
// sound.
std::size_t ReadRecord(std::string_view bytes, JournalEntry& entry) {
    const int version = VersionOf(bytes);
    const std::size_t header = version == 1 ? kFirstHeaderSize : kHeaderSize;
    entry.tornTail = bytes.size() < header;
    if (entry.tornTail || version == 0) return 0;
    const std::size_t kindAt = header - 5;
    const std::uint64_t length = GetUint(bytes.substr(header - 4, 4), 4);
    if (length > kMaxNamesLength + kIdentitySize + kMaxAclLength) return 0;
    const std::size_t size = header + length + kCheckSize;
    entry.tornTail = bytes.size() < size;
    if (entry.tornTail) return 0;
    const std::string_view checked = bytes.substr(kindAt, 5 + length);
    if (Checksum(checked) != GetUint(bytes.substr(size - kCheckSize), 4)) return 0;
    std::string_view body = bytes.substr(header, length);
    if (!ParseNames(bytes[kindAt], body, entry.record)) return 0;
    if (version == 1) {
        entry.record.checked = false;
        entry.record.aclRecorded = false;
        return body.empty() ? size : 0;
    }
    const bool identified = version == 3 ? DecodeIdentities(body, entry.record)
                                         : DecodeSecondIdentities(body, entry.record);
    if (!identified || !IsState(bytes[kStateOffset])) return 0;
    entry.state = static_cast<RecordState>(bytes[kStateOffset]);
    entry.lastError = static_cast<std::int32_t>(GetUint(bytes.substr(kStateOffset + 1, 4), 4));
    return size;
}

Status ReadAll(int fd, std::string& bytes) {
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t n =
            RetryOnInterrupt([&] { return pread(fd, buffer, sizeof buffer, offset); });
        if (n < 0) return LastError();
        if (n == 0) return {};
        bytes.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Root carries the journal out at boot: one that anyone else could have written would let
// them replace or delete any file of the system.
bool OwnedByRootAlone(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

Status CheckFolder(const std::string& folder, bool create) {
    if (create) {
        // A new folder's own name must reach the disk too, or a crash could lose the journal
        // in it after pinfile answered "queued".
        if (mkdir(folder.c_str(), 0700) == 0) {
            if (const Status synced = SyncFolder(ParentOf(folder)); synced.Failed()) return synced;
        } else if (errno != EEXIST) {
            return LastError();
        }
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) return LastError();
    if (!S_ISDIR(info.st_mode)) return Status(ENOTDIR);
    return OwnedByRootAlone(info) ? Status() : Status(EACCES);
}

Status OpenJournalFile(const std::string& path, bool create, Descriptor& file, bool& made) {
    made = false;
    const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;
    file.reset(open(path.c_str(), flags));
    if (!file.valid() && errno == ENOENT && create) {
        file.reset(open(path.c_str(), flags | O_CREAT | O_EXCL, 0600));
        made = file.valid();
    }
    if (!file.valid()) return LastError();
    struct stat info {};
    if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || !OwnedByRootAlone(info)) {
        file.reset(-1);
        return Status(EACCES);
    }
    return {};
}

}  // namespace

namespace {

std::string Framed(std::string_view magic, char kind, const std::string& body, RecordState state,
                   std::int32_t error) {
    std::string checked(1, kind);
    PutUint(checked, body.size(), 4);
    checked += body;
    std::string bytes(magic);
    bytes.push_back(static_cast<char>(state));
    PutUint(bytes, static_cast<std::uint32_t>(error), 4);
    bytes += checked;
    PutUint(bytes, Checksum(checked), 4);
    return bytes;
}

}  // namespace

bool IsSameFile(const FileIdentity& now, const FileIdentity& recorded) {
    if (now.inode != recorded.inode) return false;
    const bool stable =
        recorded.volume != 0 || recorded.bornSeconds != 0 || recorded.bornNanoseconds != 0;
    if (!stable) return now.device == recorded.device;
    return now.volume == recorded.volume && now.bornSeconds == recorded.bornSeconds &&
           now.bornNanoseconds == recorded.bornNanoseconds;
}

std::string EncodeRecord(const JournalRecord& record, RecordState state, std::int32_t error) {
    return Framed(kJournalMagic, static_cast<char>(record.kind),
                  Names(record) + EncodeIdentities(record), state, error);
}

std::string EncodeSecondVersionRecord(const JournalRecord& record) {
    return Framed(kSecondJournalMagic, static_cast<char>(record.kind),
                  Names(record) + EncodeSecondIdentities(record), RecordState::Waiting, 0);
}

std::string EncodeFirstVersionRecord(const JournalRecord& record) {
    const std::string names = Names(record);
    std::string checked(1, static_cast<char>(record.kind));
    PutUint(checked, names.size(), 4);
    checked += names;
    std::string bytes(kFirstJournalMagic);
    bytes += checked;
    PutUint(bytes, Checksum(checked), 4);
    return bytes;
}

std::vector<JournalEntry> DecodeJournal(std::string_view bytes) {
    std::vector<JournalEntry> entries;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        JournalEntry entry;
        entry.offset = offset;
        entry.size = ReadRecord(bytes.substr(offset), entry);
        entry.sound = entry.size != 0;
        if (!entry.sound) {
            // Skip to the next place where a record of either version may start.
            const std::size_t next = std::min({bytes.find(kJournalMagic, offset + 1),
                                               bytes.find(kSecondJournalMagic, offset + 1),
                                               bytes.find(kFirstJournalMagic, offset + 1)});
            entry.size = (next == std::string_view::npos ? bytes.size() : next) - offset;
            entry.tornTail = entry.tornTail && next == std::string_view::npos;
            entry.record = {};
            entry.state = RecordState::Waiting;
            entry.lastError = 0;
        }
        offset += entry.size;
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool JournalIsTrusted(const std::string& path) {
    struct stat folder {};
    if (lstat(ParentOf(path).c_str(), &folder) == 0 &&
        (!S_ISDIR(folder.st_mode) || !OwnedByRootAlone(folder))) {
        return false;
    }
    struct stat file {};
    return lstat(path.c_str(), &file) != 0 || (S_ISREG(file.st_mode) && OwnedByRootAlone(file));
}

Status ReadJournal(const std::string& path, std::vector<JournalEntry>& entries) {
    // Never waits on a FIFO put in the journal's place, and reads only a plain file.
    const Descriptor journal(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!journal.valid()) return LastError();
    struct stat info {};
    if (fstat(journal.get(), &info) != 0) return LastError();
    if (!S_ISREG(info.st_mode)) return Status(EACCES);
    std::string bytes;
    if (const Status read = ReadAll(journal.get(), bytes); read.Failed()) return read;
    entries = DecodeJournal(bytes);
    return {};
}

Journal::Journal(Journal&& other) noexcept { *this = std::move(other); }

Journal& Journal::operator=(Journal&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(path_, other.path_);
    std::swap(folder_, other.folder_);
    std::swap(size_, other.size_);
    std::swap(entries_, other.entries_);
    return *this;
}

Journal::~Journal() {
    if (fd_ >= 0) close(fd_);
}

Status Journal::Open(const std::string& path, bool create) {
    path_ = path;
    folder_ = ParentOf(path);
    if (const Status checked = CheckFolder(folder_, create); checked.Failed()) return checked;
    bool made = false;
    Descriptor file(-1);
    if (const Status opened = OpenJournalFile(path, create, file, made); opened.Failed()) {
        return opened;
    }
    fd_ = file.release();
    // The journal's own name must be on disk too, or a crash could lose a new journal.
    if (made) {
        if (const Status synced = SyncFolder(folder_); synced.Failed()) return synced;
    }
    if (const Status loaded = Load(); loaded.Failed()) return loaded;
    bool firstVersion = false;
    for (const JournalEntry& entry : entries_) firstVersion |= entry.sound && !entry.record.checked;
    if (!firstVersion) return {};
    // Marks need the state field that the first version lacks: rewrite it, records in order.
    std::string bytes;
    std::string all;
    if (const Status read = ReadAll(fd_, all); read.Failed()) return read;
    for (const JournalEntry& entry : entries_) {
        bytes += entry.sound ? EncodeRecord(entry.record, entry.state, entry.lastError)
                             : all.substr(entry.offset, entry.size);
    }
    return Replace(bytes);
}

Status Journal::Load() {
    std::string bytes;
    if (const Status read = ReadAll(fd_, bytes); read.Failed()) return read;
    size_ = bytes.size();
    entries_ = DecodeJournal(bytes);
    return {};
}

Status Journal::Append(const JournalRecord& record) {
    const std::string bytes = EncodeRecord(record);
    Status status = WriteAllAt(fd_, bytes, static_cast<off_t>(size_));
    if (status.Succeeded()) status = Checked(fsync(fd_));
    if (status.Failed()) {
        // Whatever reached the file must not be carried out after a failure answer: it is cut
        // off, and only where even that fails, marked withdrawn where it lies.
        if (ftruncate(fd_, static_cast<off_t>(size_)) == 0) {
            fsync(fd_);
        } else {
            const char withdrawn = static_cast<char>(RecordState::Withdrawn);
            WriteAllAt(fd_, std::string_view(&withdrawn, 1),
                       static_cast<off_t>(size_ + kStateOffset))
                .Ignore();
            fsync(fd_);
        }
        return status;
    }
    JournalEntry entry;
    entry.sound = true;
    entry.record = record;
    entry.offset = size_;
    entry.size = bytes.size();
    entries_.push_back(std::move(entry));
    size_ += bytes.size();
    return {};
}

Status Journal::Mark(std::size_t index, RecordState state, std::int32_t error) {
    JournalEntry& entry = entries_.at(index);
    std::string mark(1, static_cast<char>(state));
    PutUint(mark, static_cast<std::uint32_t>(error), 4);
    Status status = WriteAllAt(fd_, mark, static_cast<off_t>(entry.offset + kStateOffset));
    if (status.Succeeded()) status = Checked(fsync(fd_));
    if (status.Succeeded()) {
        entry.state = state;
        entry.lastError = error;
    }
    return status;
}

Status Journal::Compact() {
    std::string bytes;
    bool dropped = false;
    for (const JournalEntry& entry : entries_) {
        if (entry.Open()) {
            bytes += EncodeRecord(entry.record, entry.state, entry.lastError);
        } else {
            dropped = true;
        }
    }
    if (!bytes.empty()) return dropped ? Replace(bytes) : Status();
    if (unlink(path_.c_str()) != 0) return LastError();
    entries_.clear();
    size_ = 0;
    return SyncFolder(folder_);
}

Status Journal::Replace(const std::string& bytes) {
    const std::string fresh = path_ + ".new";
    Descriptor file(open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) return LastError();
    Status status = WriteAllAt(file.get(), bytes, 0);
    if (status.Succeeded()) status = Checked(fsync(file.get()));
    if (status.Succeeded()) status = Checked(rename(fresh.c_str(), path_.c_str()));
    if (status.Failed()) {
        unlink(fresh.c_str());
        return status;
    }
    close(std::exchange(fd_, file.release()));
    if (const Status synced = SyncFolder(folder_); synced.Failed()) return synced;
    return Load();
}

}  // namespace pinfile::posix
