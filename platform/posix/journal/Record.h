// The record format of the POSIX restart queue: operations that wait for the next boot, kept
// in one journal file (see docs/restart-queue.md). Writers, the boot-time runner and the lister
// share this one definition; JournalFile.h reads and writes the file.
//
// Each record is
//   magic    4 bytes  "PFQ4"
//   state    1 byte   'P' waiting, 'F' failed at a boot (waits for the next), 'C' carried out,
//                     'W' withdrawn
//   error    4 bytes  the errno of the last failure, unsigned, little-endian
//   kind     1 byte   'R' replace the target by the staged file, 'D' delete the target
//   length   4 bytes  length of the body, unsigned, little-endian
//   body     length   for a replacement the staged file's name, NUL, the target's name, NUL;
//                     for a deletion the target's name, NUL, NUL,
//                     then the identity block (see docs/restart-queue.md for its layout), then
//                     the access ACL that the replaced target had, as the system stores it
//   check    4 bytes  CRC-32 of kind, length and body, little-endian
// State and error lie outside the check, so that a result is marked in place with one small
// write. Records of the earlier versions are still read: "PFQ3" (identities without the boot
// and the subvolume), "PFQ2" (a shorter identity block with device numbers, no ACL) and
// "PFQ1" (no state, no error, no identities; carried out unchecked). Names are absolute and
// canonical as resolved when the operation was queued, and may hold any byte but NUL. A record
// cut short by a crash, or damaged in any other way, fails its length or check and is skipped
// by readers, who then look for the next magic.
#pragma once

#include <linux/limits.h>  // XATTR_SIZE_MAX

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../../Status.h"
#include "../FileIdentity.h"

namespace pinfile::posix {

struct JournalRecord {
    enum class Kind : char { Replace = 'R', Delete = 'D' };
    Kind kind = Kind::Delete;
    std::string staged;         // the staged file of a replacement; empty for a deletion
    std::string target;         // the file to replace, or the name to delete
    bool checked = true;        // false for a record of the first version: no identities
    FileIdentity targetFolder;  // the folder that holds the target
    FileIdentity stagedFile;    // the staged file of a replacement
    // What the replaced target had, given to the new file once it is in place: the staged
    // file waits owned by root, without set-id bits, and writable by nobody else.
    std::uint32_t targetOwner = 0;
    std::uint32_t targetGroup = 0;
    std::uint32_t targetMode = 0;  // zero: not known, the staged file's own stays
    // The target's access ACL as recorded at queueing (empty: it had none). Records of the
    // second version did not record it, and the boot reads it from the target instead.
    bool aclRecorded = true;
    std::string targetAcl;

    bool operator==(const JournalRecord&) const = default;
};

enum class RecordState : char { Waiting = 'P', Failed = 'F', CarriedOut = 'C', Withdrawn = 'W' };

// One stretch of a journal as a reader finds it: a sound record, or bytes to skip.
struct JournalEntry {
    bool sound = false;
    JournalRecord record;  // when sound
    RecordState state = RecordState::Waiting;
    std::int32_t lastError = 0;  // for a failed record
    std::size_t offset = 0;      // where the stretch starts
    std::size_t size = 0;        // how many bytes it spans
    bool tornTail = false;       // not sound because the journal ends inside it

    // Still to be carried out at the next boot.
    bool StillWaiting() const {
        return sound && (state == RecordState::Waiting || state == RecordState::Failed);
    }
};

inline constexpr std::string_view kJournalMagic = "PFQ4";
inline constexpr std::string_view kThirdJournalMagic = "PFQ3";
inline constexpr std::string_view kSecondJournalMagic = "PFQ2";
inline constexpr std::string_view kFirstJournalMagic = "PFQ1";
// The most that a reader takes a record's two names to span: many times two names of the
// longest path that the kernel resolves (PATH_MAX), so that no name pinfile queues is near
// it, while a damaged length field cannot make a reader take megabytes for one record. Kept
// as it was written, or records of earlier runs would read otherwise.
inline constexpr std::size_t kMaxNamesLength = std::size_t{64} * 1024;
// The largest attribute value that Linux stores, an ACL included.
inline constexpr std::size_t kMaxAclLength = XATTR_SIZE_MAX;
// Where the state and the error lie in a record: outside the check, so that a result is
// marked in place.
inline constexpr std::size_t kStateOffset = 4;

std::string EncodeRecord(const JournalRecord& record, RecordState state = RecordState::Waiting,
                         std::int32_t error = 0);
// A record of the first version, as journals written before identities were recorded hold.
std::string EncodeFirstVersionRecord(const JournalRecord& record);
// A record of the third version, as journals written before identities knew the boot and the
// subvolume.
std::string EncodeThirdVersionRecord(const JournalRecord& record);
// A record of the second version, as journals written before identities survived a reboot.
std::string EncodeSecondVersionRecord(const JournalRecord& record);
std::vector<JournalEntry> DecodeJournal(std::string_view bytes);

// The bytes that mark a record's state and error in place, written at kStateOffset.
std::string EncodeMark(RecordState state, std::int32_t error);

}  // namespace pinfile::posix
