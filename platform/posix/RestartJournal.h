// The restart queue of the POSIX build: operations that wait for the next boot, kept in one
// journal file (see docs/restart-queue.md). Appending writers and the boot-time reader share
// this one definition of the format.
//
// Each record is
//   magic    4 bytes  "PFQ1"
//   kind     1 byte   'R' replace the second name by the first, 'D' delete the first name
//   length   4 bytes  length of the names, unsigned, little-endian
//   names    length   first name, NUL, second name, NUL (empty second name for a deletion)
//   check    4 bytes  CRC-32 of kind, length and names, little-endian
// Names are absolute and may hold any byte but NUL. A record cut short by a crash, or
// damaged in any other way, fails its length or check and is skipped by readers, who then
// look for the next magic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pinfile::posix {

struct JournalRecord {
    enum class Kind : char { Replace = 'R', Delete = 'D' };
    Kind kind = Kind::Delete;
    std::string first;   // the staged file, or the name to delete
    std::string second;  // the target to replace; empty for a deletion

    bool operator==(const JournalRecord&) const = default;
};

// One stretch of a journal as a reader finds it: a sound record, or bytes to skip.
struct JournalEntry {
    bool sound = false;
    JournalRecord record;    // when sound
    std::size_t offset = 0;  // where the stretch starts
    std::size_t size = 0;    // how many bytes it spans
    bool tornTail = false;   // not sound because the journal ends inside it
};

inline constexpr std::string_view kJournalMagic = "PFQ1";
inline constexpr std::size_t kMaxNamesLength = 1U << 16U;

std::string EncodeRecord(const JournalRecord& record);
std::vector<JournalEntry> DecodeJournal(std::string_view bytes);

// Appends one record to the journal at path, creating the journal (mode 0600) and its folder
// (mode 0700) when missing. Concurrent writers wait for one another; the record is on disk
// when this returns 0. On failure returns the errno and leaves the journal as it was.
int AppendToJournal(const std::string& path, const JournalRecord& record);

}  // namespace pinfile::posix
