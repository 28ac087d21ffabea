// The staged file on Windows, and pinfile's records of the staged files it makes for the
// restart list: named in pinfile's staging record before they exist, made so that only
// administrators may change them, deleted on close until they are queued, filled through the
// handle that made them, and recorded beside the list by their identity, so that the list can
// tell when one has gone or been changed since and pinfile never deletes a file that only has
// the name of one of its own.
#include "StagedFile.h"

#include <functional>
#include <utility>
#include <vector>

#include "../StagedFile.h"
#include "LastRestart.h"
#include "Records.h"
#include "RestartList.h"
#include "Win32.h"

// After windows.h, which it needs.
#include <sddl.h>

namespace pinfile {

namespace win32 {

namespace {

constexpr const wchar_t* kStagedFilesKey = L"SOFTWARE\\pinfile\\StagedFiles";
// Staged files from before they are created until they are queued or gone.
constexpr const wchar_t* kStagingKey = L"SOFTWARE\\pinfile\\Staging";

// SYSTEM and Administrators may do anything; everyone else may read and run the file. Not
// inherited from the folder, where any user may have been given the right to write.
constexpr const wchar_t* kStagedSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;WD)";

// What pinfile records of a staged file that it queued: the file, and its size and last-write
// time as it wrote them. Stored as these bytes, with no padding.
struct StagedRecord {
    FileIdentity file;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    DWORD writeHigh = 0;
    DWORD writeLow = 0;
    bool operator==(const StagedRecord&) const = default;
};

StagedRecord RecordOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return {IdentityOf(information), information.nFileSizeHigh, information.nFileSizeLow,
            information.ftLastWriteTime.dwHighDateTime, information.ftLastWriteTime.dwLowDateTime};
}

// Whether the open file goes when its last handle closes.
Status SetDeleteOnClose(HANDLE file, bool deleted) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    const bool set = SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                                sizeof disposition) != FALSE;
    return set ? Status() : LastError();
}

// Drops the staging record of a staged file that the restart list now holds, or that is gone.
void ForgetStagingRecord(TextView name) { DeleteRecord(kStagingKey, name); }

// Opens the file that the name leads to now, the name itself when it is a link, without
// keeping anyone else from it.
OwnedHandle OpenByName(TextView name, DWORD access) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return OwnedHandle(CreateFileW(CallName(name).c_str(), access, share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// The code with which a name that leads to no file refuses to open.
bool IsGone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// What became of a file that a record names when pinfile set out to delete it.
enum class Removal { Deleted, NotThere, NotProven, Failed };

// Deletes the file that the name leads to when it is the one the record proves, through the
// handle that it was checked by.
Removal DeleteIfProven(TextView name, const std::function<bool(const StagedRecord&)>& proven) {
    const OwnedHandle file = OpenByName(name, DELETE);
    if (!file.Valid()) return IsGone(GetLastError()) ? Removal::NotThere : Removal::Failed;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.Get(), &information)) return Removal::Failed;
    if (!proven(RecordOf(information))) return Removal::NotProven;
    return SetDeleteOnClose(file.Get(), true).Succeeded() ? Removal::Deleted : Removal::Failed;
}

// A file that a staging record names, left by a run that ended before it queued the file:
// deleted when it is still the file created there. True once nothing is left to try.
bool SettleLeftover(HKEY key, const Text& name) {
    FileIdentity created;
    // Without an identity the run ended before or just as the file was created: nothing
    // proves that a file of that name is pinfile's, so it stays.
    if (!ReadValue(key, name, created)) return true;
    const auto isCreated = [&](const StagedRecord& found) { return found.file == created; };
    return DeleteIfProven(name, isCreated) != Removal::Failed;
}

// Creates a staged file in the folder, which only Administrators and SYSTEM may write or
// delete, so that no other user who may create files there can change it while it waits; it
// stays open in file, and goes when that handle closes unless SetDeleteOnClose says otherwise.
// pinfile's staging record names it from before it exists until ForgetStagingRecord, with its
// identity once it exists. Its name, or empty when none can be had (error: why,
// kNoStagedNameLeft when every number is taken).
Text CreateStagedFileIn(TextView folder, TextView prefix, OwnedHandle& file, DWORD& error) {
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStagedSecurity, SDDL_REVISION_1,
                                                              descriptor.Receive(), nullptr)) {
        error = GetLastError();
        return Text();
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
    // 1. The staging record names the file before it exists, so that a later run can find
    // what a power loss left under that name.
    const auto create = [&](const Text& name, OwnedHandle& made) -> DWORD {
        if (const Status noted = WriteRecord<FileIdentity>(kStagingKey, name, nullptr);
            noted.Failed()) {
            return static_cast<DWORD>(noted.Code());
        }
        // Nobody else may write or delete it while it is being written.
        made.Reset(CreateFileW(CallName(name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                               FILE_SHARE_READ, &security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
        if (made.Valid()) return 0;
        const DWORD refused = GetLastError();
        ForgetStagingRecord(name);
        return refused;
    };
    Text name = CreateNumberedFile(folder, prefix, create, file, error);
    if (name.empty()) return name;
    // 2. Until it is queued the file goes with its handle, so a run killed while it copies
    // leaves nothing; and the record learns which file it is, so that a later run removes
    // that file after a power loss, and no other that has its name by then.
    BY_HANDLE_FILE_INFORMATION information{};
    const Status deleting = SetDeleteOnClose(file.Get(), true);
    Status identified =
        GetFileInformationByHandle(file.Get(), &information) ? Status() : LastError();
    const FileIdentity created = RecordOf(information).file;
    if (identified.Succeeded()) identified = WriteRecord(kStagingKey, name, &created);
    if (deleting.Succeeded() && identified.Succeeded()) return name;
    error = static_cast<DWORD>((deleting.Failed() ? deleting : identified).Code());
    file.Reset(nullptr);
    // A file that went with its handle needs no record; any other waits for the next run.
    if (deleting.Succeeded()) ForgetStagingRecord(name);
    return Text();
}

// Copies the source's bytes into the open file.
Status CopyInto(TextView source, HANDLE file) {
    const OwnedHandle in(CreateFileW(CallName(source).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.Valid()) return LastError();
    std::vector<char> buffer(kFileChunkBytes);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
            return LastError();
        }
        if (read == 0) return {};
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), read, &written, nullptr)) return LastError();
        if (written != read) return Status(ERROR_WRITE_FAULT);
    }
}

// Records beside the restart list (in pinfile's own registry key) which file the staged file
// is (volume serial number and file index) and what it holds (size and last-write time), as
// the open file has them now.
Status RememberStagedFile(TextView name, HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) return LastError();
    const StagedRecord written = RecordOf(information);
    ForgetWhatIsNotWaiting(kStagedFilesKey, PendingOperation::Kind::Replace);
    return WriteRecord(kStagedFilesKey, name, &written);
}

}  // namespace

void SweepStagingLeftovers() {
    OwnedKey key;
    if (OpenPinfileKey(kStagingKey, KEY_QUERY_VALUE | KEY_SET_VALUE, false, key).Failed()) return;
    const std::vector<Text> names = ValueNames(key.Get());
    if (names.empty()) return;
    // A file that the restart list uses was queued before its run ended: it stays.
    const PendingList list = ReadPendingOperations();
    if (list.status.Failed()) return;
    for (const Text& name : names) {
        if (ListHolds(list, PendingOperation::Kind::Replace, name) ||
            SettleLeftover(key.Get(), name)) {
            RegDeleteValueW(key.Get(), name.c_str());
        }
    }
    RegFlushKey(key.Get());
}

void ForgetStagedFile(TextView name) { DeleteRecord(kStagedFilesKey, name); }

PendingOperation::StagedState CheckStagedFile(TextView name) {
    using State = PendingOperation::StagedState;
    StagedRecord recorded;
    if (!ReadRecord(kStagedFilesKey, name, recorded)) return State::Unchecked;
    const OwnedHandle file = OpenByName(name, 0);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.Valid()) return IsGone(GetLastError()) ? State::Missing : State::Unchecked;
    if (!GetFileInformationByHandle(file.Get(), &information)) return State::Unchecked;
    return RecordOf(information) == recorded ? State::Intact : State::Changed;
}

bool DeleteStagedFile(TextView name) {
    StagedRecord recorded;
    if (!ReadRecord(kStagedFilesKey, name, recorded)) return false;
    const auto isWritten = [&](const StagedRecord& found) { return found == recorded; };
    return DeleteIfProven(name, isWritten) == Removal::Deleted;
}

}  // namespace win32

const ErrorCode kNoStagedNameLeft = ERROR_FILE_EXISTS;

struct StagedFile::Held {
    win32::OwnedHandle file;
    // The name by which pinfile's staging record knows the file.
    Text name;
    // The file goes when its handle closes, or the restart list holds it: the staging record
    // has nothing left to tell.
    bool accounted = false;

    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        file.Reset(nullptr);
        if (accounted && !name.empty()) win32::ForgetStagingRecord(name);
    }
};

void StagedFile::HeldDeleter::operator()(Held* held) const { delete held; }

// A file that is deleted through its handle goes, whatever its name leads to by then.
void StagedFile::Discard(Held& held) {
    held.accounted = win32::SetDeleteOnClose(held.file.Get(), true).Succeeded();
}

StagedFile CreateStagedFile(TextView target, TextView prefix) {
    Text normal = win32::NormalName(target);
    const std::size_t slash = normal.find_last_of(L'\\');
    const Text folder = slash == Text::npos ? Text(L".") : normal.substr(0, slash + 1);
    StagedFile::HeldPointer held(new StagedFile::Held());
    DWORD error = 0;
    held->name = win32::CreateStagedFileIn(folder, prefix, held->file, error);
    if (held->name.empty()) return StagedFile(Status(static_cast<ErrorCode>(error)));
    held->accounted = true;
    Text name = held->name;
    return StagedFile(std::move(name), std::move(normal), std::move(held));
}

Status CopyIntoStagedFile(TextView source, StagedFile& staged) {
    return win32::CopyInto(source, staged.Files().file.Get());
}

// The list names every file in its normal form, as pinfile's records do, so that a name of the
// list and of a record are one text, and one that the restart still finds when a mapped or
// substituted drive is gone: the target is carried in that form from CreateStagedFile.
Status ScheduleReplaceAtRestart(StagedFile& staged) {
    StagedFile::Held& held = staged.Files();
    HANDLE file = held.file.Get();
    // The restart renames the staged copy into place; its bytes must be on disk by then.
    if (!FlushFileBuffers(file)) return win32::LastError();
    // What was written is recorded first, so that the list can always tell whether the
    // staged file is still the one pinfile wrote.
    const Text& name = staged.Name();
    if (const Status remembered = win32::RememberStagedFile(name, file); remembered.Failed()) {
        return remembered;
    }
    // The file must outlive its handle to be queued; until the list holds it, the staging
    // record lets a later run remove it.
    if (const Status keeping = win32::SetDeleteOnClose(file, false); keeping.Failed()) {
        win32::ForgetStagedFile(name);
        return keeping;
    }
    held.accounted = false;
    const Text& normalTarget = staged.Target();
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;
    if (!MoveFileExW(win32::CallName(name).c_str(), win32::CallName(normalTarget).c_str(), flags)) {
        const Status refused = win32::LastError();
        win32::ForgetStagedFile(name);
        return refused;
    }
    bool mayStay = false;
    const Status kept = win32::KeepQueuedOperation(name, normalTarget, mayStay);
    // A pair that may stay keeps its record, and its staged file, so it never points at nothing.
    if (kept.Failed() && !mayStay) win32::ForgetStagedFile(name);
    held.accounted = kept.Succeeded() || mayStay;
    if (held.accounted) win32::ExpectReplacement(name, file, normalTarget);
    return Status(kept.Code(), mayStay ? Status::Note::MayStillBeQueued : Status::Note::None);
}

}  // namespace pinfile
