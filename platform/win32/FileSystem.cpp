#include "../FileSystem.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "LastRestart.h"
#include "RestartList.h"
#include "Win32.h"

namespace pinfile {

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

namespace {

using win32::LastError;

// Every name goes to the file calls in the form they take at any length.
Text ForCall(TextView name) { return win32::CallName(name); }

DWORD Attributes(TextView name) { return GetFileAttributesW(ForCall(name).c_str()); }

bool IsDirectory(TextView name) {
    const DWORD attributes = Attributes(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsReadOnly(TextView name) {
    const DWORD attributes = Attributes(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Codes with which the system refuses a file that another process holds open, locked or
// mapped right now; access denied also covers a running program's own file.
bool IsInUseCode(ErrorCode code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_USER_MAPPED_FILE || code == ERROR_ACCESS_DENIED;
}

// A failed call on the file to be changed, judged by what the restart could do with it. A
// directory answers with access denied too and is never replaced or deleted at restart. A
// read-only file refuses the restart as it refused this call, whether or not it is also held
// right now, so it is access denied and nothing waits for the restart.
// Access denied comes from a running program or a mapped file, or from a right that the caller
// lacks, which the restart would lack as well. Opening the file with the access the operation
// needs, sharing everything, tells the two apart: only a missing right refuses that open.
bool RightIsMissing(ErrorCode error, TextView changed, DWORD access) {
    if (error != ERROR_ACCESS_DENIED) return false;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle file(
        CreateFileW(ForCall(changed).c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.Valid()) return false;
    const DWORD opened = GetLastError();
    // A file that is not there is no file in use: the folder refused to take a new one.
    return opened == ERROR_ACCESS_DENIED || opened == ERROR_FILE_NOT_FOUND;
}

FileCallResult Judged(Status failed, TextView changed, DWORD access, TextView other = TextView()) {
    const ErrorCode error = failed.Code();
    if (!IsInUseCode(error)) return failed;
    if (IsReadOnly(changed) && !IsDirectory(changed)) return Status(ERROR_ACCESS_DENIED);
    if (RightIsMissing(error, changed, access)) return Status(ERROR_ACCESS_DENIED);
    const bool directory = IsDirectory(changed) || (!other.empty() && IsDirectory(other));
    return {failed, !directory};
}

// The names that the system takes for a device in whatever folder they stand (CON, NUL,
// AUX.dll, C:\w\COM1.txt: their full path becomes "\\.\CON" though not spelt so), and the
// console's own names, which the file calls open as the console, or fail on when there is
// none.
bool IsReservedName(TextView name) {
    Text spelt(name);
    std::replace(spelt.begin(), spelt.end(), L'/', L'\\');
    const bool devicePath = spelt.starts_with(L"\\\\.\\") || spelt.starts_with(L"\\\\?\\");
    const TextView bare = devicePath ? TextView(spelt).substr(4) : TextView(spelt);
    if (NamesMatch(bare, L"CONIN$") || NamesMatch(bare, L"CONOUT$")) return true;
    Text full;
    return !devicePath && !spelt.starts_with(L"\\??\\") &&
           win32::FullPathName(name, full).Succeeded() && full.starts_with(L"\\\\.\\");
}

// Only a disk file is replaced or deleted: a reserved name, a "\\.\" device path or anything
// else that the system opens as a device is no file.
bool IsDevice(TextView name) {
    if (IsReservedName(name)) return true;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle file(CreateFileW(ForCall(name).c_str(), 0, share, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.Valid() && GetFileType(file.Get()) != FILE_TYPE_DISK;
}

// A source that cannot be read is the source's failure, not the target's.
Status Readable(TextView source) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle file(CreateFileW(ForCall(source).c_str(), GENERIC_READ, share, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    return file.Valid() ? Status() : LastError();
}

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Asks for no access at all, so that even a file held without sharing can be identified.
bool Identify(TextView name, FileIdentity& identity) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle file(CreateFileW(ForCall(name).c_str(), 0, share, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid()) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = GetFileInformationByHandle(file.Get(), &information);
    identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                information.nFileIndexLow};
    return known != FALSE;
}

}  // namespace

bool FindEntry(TextView name) {
    if (name.empty()) return false;
    WIN32_FIND_DATAW found{};
    const win32::OwnedSearch search(FindFirstFileW(ForCall(name).c_str(), &found));
    return search.Valid();
}

bool NamesMatch(TextView first, TextView second) {
    // CompareStringOrdinal refuses the null pointer of an empty view.
    if (first.empty() || second.empty()) return first.empty() && second.empty();
    return CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

bool SameFile(TextView first, TextView second) {
    FileIdentity a;
    FileIdentity b;
    return !first.empty() && !second.empty() && Identify(first, a) && Identify(second, b) && a == b;
}

FileCallResult CopyFileNow(TextView source, TextView target) {
    if (IsDevice(target)) return Status(ERROR_INVALID_NAME);
    if (CopyFileW(ForCall(source).c_str(), ForCall(target).c_str(), FALSE)) return {};
    const Status failed = LastError();
    if (const Status readable = Readable(source); readable.Failed() && !IsDirectory(source)) {
        return readable;
    }
    return Judged(failed, target, GENERIC_WRITE, source);
}

Text QueueNameOf(TextView name) { return win32::NormalName(name); }

FileCallResult DeleteFileNow(TextView name) {
    if (IsDevice(name)) return Status(ERROR_INVALID_NAME);
    if (DeleteFileW(ForCall(name).c_str())) return {};
    return Judged(LastError(), name, DELETE);
}

// Opened for writing with every sharing allowed, the file refuses only a holder that denies
// others the write that a copy needs; the refusal is judged as a failed copy's is.
FileCallResult ProbeInUse(TextView name) {
    if (IsDevice(name)) return Status(ERROR_INVALID_NAME);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle file(CreateFileW(ForCall(name).c_str(), GENERIC_WRITE, share, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    if (file.Valid() || GetLastError() == ERROR_FILE_NOT_FOUND) return {};
    return Judged(LastError(), name, GENERIC_WRITE);
}

void StagedFile::HeldDeleter::operator()(Held* held) const { delete held; }

// A file that is deleted through its handle goes, whatever its name leads to by then.
void StagedFile::Discard(Held& held) {
    held.accounted = win32::SetDeleteOnClose(held.file.Get(), true).Succeeded();
}

StagedFile CreateStagedFile(TextView target, TextView prefix) {
    const Text normal = win32::NormalName(target);
    const std::size_t slash = normal.find_last_of(L'\\');
    const Text folder = slash == Text::npos ? Text(L".") : normal.substr(0, slash + 1);
    StagedFile::HeldPointer held(new StagedFile::Held());
    DWORD error = 0;
    held->name = win32::CreateStagedFileIn(folder, prefix, held->file, error);
    if (held->name.empty()) return StagedFile(static_cast<ErrorCode>(error));
    held->accounted = true;
    Text name = held->name;
    return StagedFile(std::move(name), std::move(held));
}

FileCallResult CopyIntoStagedFile(TextView source, StagedFile& staged) {
    return win32::CopyInto(source, staged.Files().file.Get());
}

// The list names every file in its normal form, as pinfile's records do, so that a name of the
// list and of a record are one text, and one that the restart still finds when a mapped or
// substituted drive is gone.
FileCallResult ScheduleReplaceAtRestart(StagedFile& staged, TextView target) {
    StagedFile::Held& held = staged.Files();
    HANDLE file = held.file.Get();
    // The restart renames the staged copy into place; its bytes must be on disk by then.
    if (!FlushFileBuffers(file)) return LastError();
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
    const Text normalTarget = win32::NormalName(target);
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;
    if (!MoveFileExW(ForCall(name).c_str(), ForCall(normalTarget).c_str(), flags)) {
        const Status refused = LastError();
        win32::ForgetStagedFile(name);
        return refused;
    }
    bool mayStay = false;
    const Status kept = win32::KeepQueuedOperation(name, normalTarget, mayStay);
    // A pair that may stay keeps its record, and its staged file, so it never points at nothing.
    if (kept.Failed() && !mayStay) win32::ForgetStagedFile(name);
    held.accounted = kept.Succeeded() || mayStay;
    if (held.accounted) win32::ExpectReplacement(name, file, normalTarget);
    return {kept, false, mayStay ? kept.Code() : 0};
}

FileCallResult ScheduleDeleteAtRestart(TextView name) {
    const Text normal = win32::NormalName(name);
    if (!MoveFileExW(ForCall(normal).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        return LastError();
    }
    bool mayStay = false;
    const Status kept = win32::KeepQueuedOperation(normal, TextView(), mayStay);
    // Only a note for the list's readers, which tells pinfile's deletions from others'.
    if (kept.Succeeded() || mayStay) {
        win32::RememberQueuedDeletion(normal);
        win32::ExpectDeletion(normal);
    }
    return {kept, false, mayStay ? kept.Code() : 0};
}

}  // namespace pinfile
