// The file-system work the commands ask for. Each entry point does one whole task with the
// same meaning on every platform; whether it failed, and with which system code, crosses this
// line as a FileCallResult.
#pragma once

#include <memory>
#include <utility>

#include "Status.h"
#include "Text.h"

namespace pinfile {

struct FileCallResult {
    ErrorCode error = 0;
    // The call failed only because another process holds the file right now, so the same
    // operation can be carried out at the next restart.
    bool inUse = false;
    // A scheduling call failed, but the operation could not be taken out of the system's
    // list again, so the restart may still carry it out (with stillQueuedError as the reason).
    ErrorCode stillQueuedError = 0;

    bool Succeeded() const { return error == 0; }

    // A call that succeeded, or failed for a reason other than a file in use.
    static FileCallResult Of(Status status) { return {status.Code(), false, 0}; }
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

// A file staged beside its target for the restart. It is made new by this process and from
// then on handled only through what this process holds open, never again by its name: the
// name lies in the target's folder, where another user may swap it for a link or a file of
// their own. It is discarded when the owner goes out of scope, unless it was kept because the
// restart is to put it in place.
class StagedFile {
  public:
    struct Held;  // what the backend holds open

    StagedFile();
    explicit StagedFile(Text name, std::unique_ptr<Held> held);
    // None could be made, for the reason the code gives (0: no unique name was left).
    explicit StagedFile(ErrorCode error);
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&& other) noexcept;
    ~StagedFile();

    // The name the restart knows it by; empty when no staged file could be made.
    const Text& Name() const { return name_; }
    ErrorCode Error() const { return error_; }
    Held& Files() { return *held_; }
    void Keep() { kept_ = true; }

  private:
    Text name_;
    std::unique_ptr<Held> held_;
    ErrorCode error_ = 0;
    bool kept_ = false;
};

// Makes a new, empty staged file with a unique name that begins with the prefix, in the
// folder of the file that the target finally names, so that the replacement at restart is a
// rename within one volume.
StagedFile CreateStagedFile(TextView target, TextView prefix);

// Copies the source into the staged file.
FileCallResult CopyIntoStagedFile(TextView source, StagedFile& staged);

// Asks the system to move the staged file over the target at the next restart.
FileCallResult ScheduleReplaceAtRestart(StagedFile& staged, TextView target);

// Asks the system to delete the file at the next restart.
FileCallResult ScheduleDeleteAtRestart(TextView name);

}  // namespace pinfile
