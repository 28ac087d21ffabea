// The staged file: the copy that waits beside its target for the restart to put it in place.
// Its name rule, its making and filling, and the replacement at restart that it is made for.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "Status.h"
#include "Text.h"

namespace pinfile {

// The code with which no staged file can be made because every name of the staged form is
// taken in the folder: the platform's own "file exists" code (each backend's StagedFile.cpp).
extern const ErrorCode kNoStagedNameLeft;

// A file staged beside its target for the restart. It is made new by this process and from
// then on handled only through what this process holds open, never again by its name: the
// name lies in the target's folder, where another user may swap it for a link or a file of
// their own. It carries the target it was made for, so that the replacement at restart names
// that file and no other. It is discarded when the owner goes out of scope, unless it was
// kept because the restart is to put it in place.
class StagedFile {
  public:
    struct Held;  // what the backend holds open
    // Defined by the backend, where Held is complete.
    struct HeldDeleter {
        void operator()(Held* held) const;
    };
    using HeldPointer = std::unique_ptr<Held, HeldDeleter>;

    StagedFile() = default;
    StagedFile(Text name, Text target, HeldPointer held);
    // None could be made, for the reason the failure gives (kNoStagedNameLeft: no unique name
    // was left).
    explicit StagedFile(Status failure);
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    StagedFile(StagedFile&& other) noexcept = default;
    StagedFile& operator=(StagedFile&& other) noexcept = default;
    ~StagedFile();

    // The name the restart knows it by; empty when no staged file could be made.
    const Text& Name() const { return name_; }
    // The file it is to replace, as CreateStagedFile found it (the platform's normal form).
    const Text& Target() const { return target_; }
    // Why none could be made; success when one was.
    Status Failure() const { return failure_; }
    bool NoNameLeft() const { return failure_.Code() == kNoStagedNameLeft; }
    Held& Files() { return *held_; }
    void Keep() { kept_ = true; }

  private:
    // Removes what the backend made, through what it holds (the backend's).
    static void Discard(Held& held);

    Text name_;
    Text target_;
    HeldPointer held_;
    Status failure_;
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
Status CopyIntoStagedFile(TextView source, StagedFile& staged);

// Asks the system to move the staged file over the target it was made for at the next
// restart. A failure may say that the operation may still be carried out.
Status ScheduleReplaceAtRestart(StagedFile& staged);

}  // namespace pinfile
