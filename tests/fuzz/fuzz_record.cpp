// The journal's reader on any bytes, as a boot finds a torn or damaged journal: every byte
// belongs to one stretch, only the last can be a torn tail, every record read encodes back to
// the very bytes it was read from, and it reads the same when rewritten in the current version.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Check.h"
#include "platform/posix/journal/Record.h"

namespace {

using namespace pinfile::posix;

std::uint32_t Le32(std::string_view bytes) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8U) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// Gives each record in a row at the start of the bytes the check it should have, so that the
// fuzzer gets past a checksum it cannot guess into the bodies behind it.
void Seal(std::string& bytes) {
    std::size_t offset = 0;
    while (bytes.size() - offset >= 14) {
        const std::string_view magic = std::string_view(bytes).substr(offset, 4);
        const bool first = magic == kFirstJournalMagic;
        if (!first && magic != kJournalMagic && magic != kThirdJournalMagic &&
            magic != kSecondJournalMagic) {
            return;
        }
        const std::size_t kindAt = offset + (first ? 4 : 9);
        const std::size_t length = Le32(std::string_view(bytes).substr(kindAt + 1, 4));
        const std::size_t checkAt = kindAt + 5 + length;
        if (length > bytes.size() || checkAt + 4 > bytes.size()) return;
        const auto* checked = reinterpret_cast<const Bytef*>(bytes.data() + kindAt);
        const auto check = static_cast<std::uint32_t>(crc32(0L, checked, 5 + length));
        for (std::size_t i = 0; i < 4; ++i)
            bytes[checkAt + i] = static_cast<char>(check >> (8 * i));
        offset = checkAt + 4;
    }
}

// The record as its own version writes it, with the state and error it was read with.
std::string Reencoded(std::string_view magic, const JournalEntry& entry) {
    if (magic == kFirstJournalMagic) return EncodeFirstVersionRecord(entry.record);
    std::string bytes = magic == kJournalMagic        ? EncodeRecord(entry.record)
                        : magic == kThirdJournalMagic ? EncodeThirdVersionRecord(entry.record)
                                                      : EncodeSecondVersionRecord(entry.record);
    return bytes.replace(kStateOffset, 5, EncodeMark(entry.state, entry.lastError));
}

void CheckEntry(std::string_view bytes, const JournalEntry& entry) {
    const std::string_view stretch = bytes.substr(entry.offset, entry.size);
    FUZZ_CHECK(Reencoded(stretch.substr(0, 4), entry) == stretch);
    // What a journal of an earlier version is rewritten as before it is edited.
    const auto again = DecodeJournal(EncodeRecord(entry.record, entry.state, entry.lastError));
    FUZZ_CHECK(again.size() == 1 && again[0].sound);
    FUZZ_CHECK(again[0].record == entry.record);
    FUZZ_CHECK(again[0].state == entry.state && again[0].lastError == entry.lastError);
}

}  // namespace

// The first byte chooses whether the records get their right checks; the rest is the journal.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1U) != 0) Seal(bytes);
    const auto entries = DecodeJournal(bytes);
    std::size_t offset = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const JournalEntry& entry = entries[i];
        FUZZ_CHECK(entry.offset == offset && entry.size > 0);
        FUZZ_CHECK(!entry.tornTail || i + 1 == entries.size());
        if (entry.sound) CheckEntry(bytes, entry);
        offset += entry.size;
    }
    FUZZ_CHECK(offset == bytes.size());
    return 0;
}
