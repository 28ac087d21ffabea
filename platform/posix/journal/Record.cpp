#include "Record.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace pinfile::posix {

namespace {

constexpr std::size_t kFirstHeaderSize = 9;  // magic, kind, length
constexpr std::size_t kHeaderSize = 14;      // magic, state, error, kind, length
constexpr std::size_t kCheckSize = 4;
// Records from the fourth version on know the boot and the subvolume.
constexpr int kBootVersion = 4;
// folder: device, boot, volume, subvolume, inode, birth; staged: the same, owner, size,
// modification time; target: owner, group, mode; flags. The third version's places lack the
// boot and the subvolume.
constexpr std::size_t IdentitySize(int version) {
    const std::size_t place = version >= kBootVersion ? 52 : 36;
    return place * 2 + 24 + 12 + 4;
}
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

void PutPlace(std::string& out, const FileIdentity& identity, int version) {
    PutUint(out, identity.device, 8);
    if (version >= kBootVersion) PutUint(out, identity.boot, 8);
    PutUint(out, identity.volume, 8);
    if (version >= kBootVersion) PutUint(out, identity.subvolume, 8);
    PutUint(out, identity.inode, 8);
    PutUint(out, static_cast<std::uint64_t>(identity.bornSeconds), 8);
    PutUint(out, identity.bornNanoseconds, 4);
}

void TakePlace(std::string_view& bytes, FileIdentity& identity, int version) {
    Take(bytes, 8, identity.device);
    if (version >= kBootVersion) Take(bytes, 8, identity.boot);
    Take(bytes, 8, identity.volume);
    if (version >= kBootVersion) Take(bytes, 8, identity.subvolume);
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

std::string EncodeIdentities(const JournalRecord& record, int version) {
    std::string out;
    PutPlace(out, record.targetFolder, version);
    PutPlace(out, record.stagedFile, version);
    PutContents(out, record.stagedFile);
    PutTarget(out, record);
    PutUint(out, record.aclRecorded ? kAclRecordedFlag : 0, 4);
    return out + record.targetAcl;
}

// No folder has inode 0: a record without identities (one converted from the first
// version) is carried out unchecked.
bool DecodeIdentities(std::string_view bytes, JournalRecord& record, int version) {
    if (bytes.size() < IdentitySize(version)) return false;
    TakePlace(bytes, record.targetFolder, version);
    TakePlace(bytes, record.stagedFile, version);
    TakeContents(bytes, record.stagedFile);
    TakeTarget(bytes, record);
    std::uint32_t flags = 0;
    Take(bytes, 4, flags);
    record.aclRecorded = (flags & kAclRecordedFlag) != 0;
    record.targetAcl = std::string(bytes);
    record.checked = record.targetFolder.inode != 0;
    // No version writes another flag: a record with one is damaged, not read as if it had none.
    const bool knownFlags = (flags & ~kAclRecordedFlag) == 0;
    return knownFlags && (record.aclRecorded || record.targetAcl.empty());
}

std::string EncodeSecondIdentities(const JournalRecord& record) {
    std::string out;
    PutUint(out, record.targetFolder.device, 8);
    PutUint(out, record.targetFolder.inode, 8);
    PutUint(out, record.stagedFile.device, 8);
    PutUint(out, record.stagedFile.inode, 8);
    PutContents(out, record.stagedFile);
    PutTarget(out, record);
    return out;
}

bool DecodeSecondIdentities(std::string_view bytes, JournalRecord& record) {
    if (bytes.size() != kSecondIdentitySize) return false;
    Take(bytes, 8, record.targetFolder.device);
    Take(bytes, 8, record.targetFolder.inode);
    Take(bytes, 8, record.stagedFile.device);
    Take(bytes, 8, record.stagedFile.inode);
    TakeContents(bytes, record.stagedFile);
    TakeTarget(bytes, record);
    record.aclRecorded = false;
    record.checked = record.targetFolder.inode != 0;
    return true;
}

// A replacement names its staged file, then its target; a deletion its target, then nothing
// (a staged name would make it unsound, as it should).
std::string Names(const JournalRecord& record) {
    const bool replace = record.kind == JournalRecord::Kind::Replace;
    std::string names = replace ? record.staged : record.target;
    names.push_back('\0');
    names += replace ? record.target : record.staged;
    names.push_back('\0');
    return names;
}

// Splits the two NUL-ended names and checks that they fit the kind; the rest is returned.
bool ParseNames(char kind, std::string_view& body, JournalRecord& record) {
    if (kind != 'R' && kind != 'D') return false;
    const std::size_t firstEnd = body.find('\0');
    if (firstEnd == std::string_view::npos || firstEnd == 0) return false;
    const std::size_t secondEnd = body.find('\0', firstEnd + 1);
    if (secondEnd == std::string_view::npos) return false;
    record.kind = static_cast<JournalRecord::Kind>(kind);
    const std::string_view first = body.substr(0, firstEnd);
    const std::string_view second = body.substr(firstEnd + 1, secondEnd - firstEnd - 1);
    body.remove_prefix(secondEnd + 1);
    if (record.kind == JournalRecord::Kind::Delete) {
        record.target = std::string(first);
        return second.empty();
    }
    record.staged = std::string(first);
    record.target = std::string(second);
    return !second.empty();
}

bool IsState(char state) { return state == 'P' || state == 'F' || state == 'C' || state == 'W'; }

// The version that the magic at the start of the bytes names; 0 for none.
int VersionOf(std::string_view bytes) {
    const std::string_view magic = bytes.substr(0, 4);
    if (magic == kJournalMagic) return kBootVersion;
    if (magic == kThirdJournalMagic) return 3;
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
    if (length > kMaxNamesLength + IdentitySize(kBootVersion) + kMaxAclLength) return 0;
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
    const bool identified = version >= 3 ? DecodeIdentities(body, entry.record, version)
                                         : DecodeSecondIdentities(body, entry.record);
    if (!identified || !IsState(bytes[kStateOffset])) return 0;
    entry.state = static_cast<RecordState>(bytes[kStateOffset]);
    entry.lastError = static_cast<std::int32_t>(GetUint(bytes.substr(kStateOffset + 1, 4), 4));
    return size;
}

std::string Framed(std::string_view magic, char kind, const std::string& body, RecordState state,
                   std::int32_t error) {
    std::string checked(1, kind);
    PutUint(checked, body.size(), 4);
    checked += body;
    std::string bytes(magic);
    bytes += EncodeMark(state, error);
    bytes += checked;
    PutUint(bytes, Checksum(checked), 4);
    return bytes;
}

}  // namespace

std::string EncodeRecord(const JournalRecord& record, RecordState state, std::int32_t error) {
    return Framed(kJournalMagic, static_cast<char>(record.kind),
                  Names(record) + EncodeIdentities(record, kBootVersion), state, error);
}

std::string EncodeThirdVersionRecord(const JournalRecord& record) {
    return Framed(kThirdJournalMagic, static_cast<char>(record.kind),
                  Names(record) + EncodeIdentities(record, 3), RecordState::Waiting, 0);
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
            // Skip to the next place where a record of any version may start.
            const std::size_t next = std::min({bytes.find(kJournalMagic, offset + 1),
                                               bytes.find(kThirdJournalMagic, offset + 1),
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

std::string EncodeMark(RecordState state, std::int32_t error) {
    std::string mark(1, static_cast<char>(state));
    PutUint(mark, static_cast<std::uint32_t>(error), 4);
    return mark;
}

}  // namespace pinfile::posix
