// The file-system work the commands ask for. Each entry point does one whole task with the
// same meaning on every platform; whether it failed, and with which system code, crosses this
// line as a FileCallResult.
#pragma once

#include <utility>

#include "Status.h"
#include "Text.h"

namespace pinfile {

struct FileCallResult {
    ErrorCode error = 0;
    // The call failed only because another process holds the file right now, so the same
    // operation can be carried out at the next restart.
    bool inUse = false;

    bool Succeeded() const { return error == 0; }

    // A call that succeeded, or failed for a reason other than a file in use.
    static FileCallResult Of(Status status) { return {status.Code(), false}; }
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

// Deletes a file; never a directory.
FileCallResult DeleteFileNow(TextView name);

// The folder in which a file that is to replace the target at restart must be staged, so
// that the replacement is a rename within one volume.
Text StagingFolderFor(TextView target);

// Asks the system to move the staged file over the target at the next restart.
FileCallResult ScheduleReplaceAtRestart(TextView staged, TextView target);

// Asks the system to delete the file at the next restart.
FileCallResult ScheduleDeleteAtRestart(TextView name);

// Removes a staged file that will not be used; a failure leaves nothing worse behind.
void DiscardStagedFile(TextView name);

// Owns a staged file, as a temporary file is owned: it is discarded when the owner goes out
// of scope, unless it was kept because the restart is to put it in place.
class StagedFile {
  public:
    explicit StagedFile(Text name) : name_(std::move(name)) {}
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile() {
        if (!kept_ && !name_.empty()) DiscardStagedFile(name_);
    }
    const Text& Name() const { return name_; }
    void Keep() { kept_ = true; }

  private:
    Text name_;
    bool kept_ = false;
};

}  // namespace pinfile
