#include "RestartJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

namespace pinfile::posix {

namespace {

constexpr std::size_t kHeaderSize = 9;  // magic, kind, length
constexpr std::size_t kCheckSize = 4;

void PutUint32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

std::uint32_t GetUint32(std::string_view bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8U) | static_cast<unsigned char>(bytes[i]);
    return value;
}

std::uint32_t Checksum(std::string_view bytes) {
    const auto* data = reinterpret_cast<const Bytef*>(bytes.data());
    return static_cast<std::uint32_t>(crc32(0L, data, static_cast<uInt>(bytes.size())));
}

// Splits "first NUL second NUL" and checks that the names fit the kind.
bool ParseNames(JournalRecord::Kind kind, std::string_view names, JournalRecord& record) {
    const std::size_t firstEnd = names.find('\0');
    if (firstEnd == std::string_view::npos || firstEnd == 0) return false;
    const std::size_t secondEnd = names.find('\0', firstEnd + 1);
    if (secondEnd != names.size() - 1) return false;
    record.kind = kind;
    record.first = std::string(names.substr(0, firstEnd));
    record.second = std::string(names.substr(firstEnd + 1, secondEnd - firstEnd - 1));
    return (kind == JournalRecord::Kind::Delete) == record.second.empty();
}

// Reads the record at the start of bytes; its size in bytes, or 0 when it is not sound.
std::size_t ReadRecord(std::string_view bytes, JournalRecord& record, bool& torn) {
    torn = bytes.size() < kHeaderSize;
    if (torn || bytes.substr(0, 4) != kJournalMagic) return 0;
    const char kind = bytes[4];
    if (kind != 'R' && kind != 'D') return 0;
    const std::uint32_t length = GetUint32(bytes.substr(5, 4));
    if (length > kMaxNamesLength) return 0;
    const std::size_t size = kHeaderSize + length + kCheckSize;
    torn = bytes.size() < size;
    if (torn) return 0;
    if (Checksum(bytes.substr(4, 5 + length)) != GetUint32(bytes.substr(size - kCheckSize))) {
        return 0;
    }
    const auto recordKind = static_cast<JournalRecord::Kind>(kind);
    return ParseNames(recordKind, bytes.substr(kHeaderSize, length), record) ? size : 0;
}

int WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

int SyncFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return error;
}

// Appends under the journal's lock; a partial write is cut off again so that the journal
// never ends in a torn record of ours.
int AppendLocked(int fd, const std::string& bytes) {
    struct stat before {};
    if (fstat(fd, &before) != 0) return errno;
    int error = WriteAll(fd, bytes);
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (error != 0 && ftruncate(fd, before.st_size) == 0) fsync(fd);
    return error;
}

}  // namespace

std::string EncodeRecord(const JournalRecord& record) {
    std::string names = record.first;
    names.push_back('\0');
    names += record.second;
    names.push_back('\0');
    std::string body(1, static_cast<char>(record.kind));
    PutUint32(body, static_cast<std::uint32_t>(names.size()));
    body += names;
    std::string bytes(kJournalMagic);
    bytes += body;
    PutUint32(bytes, Checksum(body));
    return bytes;
}

std::vector<JournalEntry> DecodeJournal(std::string_view bytes) {
    std::vector<JournalEntry> entries;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        JournalEntry entry;
        entry.offset = offset;
        entry.size = ReadRecord(bytes.substr(offset), entry.record, entry.tornTail);
        entry.sound = entry.size != 0;
        if (!entry.sound) {
            // Skip to the next place where a record may start.
            const std::size_t next = bytes.find(kJournalMagic, offset + 1);
            entry.size = (next == std::string_view::npos ? bytes.size() : next) - offset;
            entry.tornTail = entry.tornTail && next == std::string_view::npos;
            entry.record = {};
        }
        offset += entry.size;
        entries.push_back(std::move(entry));
    }
    return entries;
}

int AppendToJournal(const std::string& path, const JournalRecord& record) {
    const std::string folder = ParentOf(path);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    int error = 0;
    for (bool appended = false; !appended;) {
        const int fd =
            open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return errno;
        struct stat opened {};
        error = flock(fd, LOCK_EX) == 0 && fstat(fd, &opened) == 0 ? 0 : errno;
        // The queue runner removes the journal once it has carried it out; a record added to
        // the removed file while we waited for the lock would be lost, so start again.
        appended = error != 0 || opened.st_nlink > 0;
        if (error == 0 && appended) error = AppendLocked(fd, EncodeRecord(record));
        close(fd);
    }
    // The journal's own name must be on disk too, or a crash could lose a new journal.
    if (error == 0) error = SyncFolder(folder);
    return error;
}

}  // namespace pinfile::posix
