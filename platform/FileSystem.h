// The file-system work the commands ask for. Each entry point does one whole task with the
// same meaning on every platform; whether it failed, and with which system code, crosses this
// line as a FileCallResult.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>

#include "Status.h"
#include "Text.h"

namespace pinfile {

struct FileCallResult {
    // Every result is made here. A plain status converts: a call that succeeded, or failed
    // for a reason other than a file in use.
    FileCallResult(Status status = Status(), bool heldNow = false, ErrorCode stillQueued = 0)
        : error(status.Code()), inUse(heldNow), stillQueuedError(stillQueued) {}

    ErrorCode error;
    // The call failed only because another process holds the file right now, so the same
    // operation can be carried out at the next restart.
    bool inUse;
    // A scheduling call failed, but the operation could not be taken out of the system's
    // list again, so the restart may still carry it out (with stillQueuedError as the reason).
    ErrorCode stillQueuedError;

    bool Succeeded() const { return error == 0; }
};

// True when a directory entry answers to the name (a directory counts; on Windows so does a
// wildcard that matches something). An empty name finds nothing.
bool FindEntry(TextView name);

// True when the two names are the same text by the platform's rules for file names
// (letter case ignored on Windows, exact on POSIX).
bool NamesMatch(TextView first, TextView second);

// True when both names exist and lead to the same file.
bool SameFile(TextView first, TextView second);

// Copies a file over the target, replacing it whole or not at all.
FileCallResult CopyFileNow(TextView source, TextView target);

// The name by which the restart queue knows the file, taken while the file is still there:
// once it is gone, an 8.3 name can no longer be told apart from a long one on Windows.
Text QueueNameOf(TextView name);

// Deletes a file; never a directory.
FileCallResult DeleteFileNow(TextView name);

// Whether a copy onto the file would find it in use right now, by the rule CopyFileNow
// judges it with (a link is followed as a copy writes through it), without changing it:
// inUse when another process holds it, an error when the question cannot be asked.
FileCallResult ProbeInUse(TextView name);

// A file staged beside its target for the restart. It is made new by this process and from
// then on handled only through what this process holds open, never again by its name: the
// name lies in the target's folder, where another user may swap it for a link or a file of
// their own. It is discarded when the owner goes out of scope, unless it was kept because the
// restart is to put it in place.
class StagedFile {
  public:
    struct Held;  // what the backend holds open
    // Defined by the backend, where Held is complete.
    struct HeldDeleter {
        void operator()(Held* held) const;
    };
    using HeldPointer = std::unique_ptr<Held, HeldDeleter>;

    StagedFile() = default;
    explicit StagedFile(Text name, HeldPointer held);
    // None could be made, for the reason the code gives (0: no unique name was left).
    explicit StagedFile(ErrorCode error);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    StagedFile(StagedFile&& other) noexcept = default;
    StagedFile& operator=(StagedFile&& other) noexcept = default;
    ~StagedFile();

    // The name the restart knows it by; empty when no staged file could be made.
    const Text& Name() const { return name_; }
    ErrorCode Error() const { return error_; }
    Held& Files() { return *held_; }
    void Keep() { kept_ = true; }

  private:
    // Removes what the backend made, through what it holds (the backend's).
    static void Discard(Held& held);

    Text name_;
    HeldPointer held_;
    ErrorCode error_ = 0;
    bool kept_ = false;
};

// Staged files are named by one rule on both platforms: a prefix (kStagedPrefix), unique
// letters, and a tail. On Windows they are named as GetTempFileNameW names its files, up to
// four hex digits and ".tmp"; on POSIX they are hidden and carry a suffix of their own, so that
// folder scanners (run-parts, "*.conf" globs, plugin loaders) pass them by.
struct StagedNameForm {
    bool hidden = false;  // the name starts with a dot
    std::size_t fewestLetters = 0;
    std::size_t mostLetters = 0;
    bool hexLetters = false;  // the letters are hex digits; otherwise ASCII letters and digits
    std::u8string_view tail;
};

inline constexpr std::u8string_view kStagedPrefix = u8"TMP";
#if defined(_WIN32)
inline constexpr StagedNameForm kStagedNames{false, 1, 4, true, u8".tmp"};
#else
inline constexpr StagedNameForm kStagedNames{true, 6, 6, false, u8".pinfile"};
#endif
// Earlier POSIX versions named them "TMP" and six letters, beside the target.
inline constexpr StagedNameForm kEarlierStagedNames{false, 6, 6, false, u8""};

// The staged file's name made of the prefix and the letters in the form.
Text StagedFileName(TextView prefix, TextView letters, const StagedNameForm& form = kStagedNames);

// True when the file name (the last component alone) has the form, with the prefix; prefix
// and tail compare as the platform compares file names.
bool IsStagedFileName(TextView name, TextView prefix, const StagedNameForm& form = kStagedNames);

// Makes a new, empty staged file with a unique name of the staged form (kStagedNames) with
// the prefix, in the folder of the file that the target finally names, so that the replacement at
// restart is a rename within one volume.
StagedFile CreateStagedFile(TextView target, TextView prefix);

// Copies the source into the staged file.
FileCallResult CopyIntoStagedFile(TextView source, StagedFile& staged);

// Asks the system to move the staged file over the target at the next restart.
FileCallResult ScheduleReplaceAtRestart(StagedFile& staged, TextView target);

// Asks the system to delete the file at the next restart.
FileCallResult ScheduleDeleteAtRestart(TextView name);

}  // namespace pinfile
