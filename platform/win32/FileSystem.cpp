#include "../FileSystem.h"

#include <algorithm>

#include "LastRestart.h"
#include "RestartList.h"
#include "Win32.h"

namespace pinfile {

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

Status Judged(Status failed, TextView changed, DWORD access, TextView other = TextView()) {
    const ErrorCode error = failed.Code();
    if (!IsInUseCode(error)) return failed;
    if (IsReadOnly(changed) && !IsDirectory(changed)) return Status(ERROR_ACCESS_DENIED);
    if (RightIsMissing(error, changed, access)) return Status(ERROR_ACCESS_DENIED);
    const bool directory = IsDirectory(changed) || (!other.empty() && IsDirectory(other));
    return Status(error, directory ? Status::Note::None : Status::Note::InUseNow);
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

// Asks for no access at all, so that even a file held without sharing can be identified.
bool Identify(TextView name, win32::FileIdentity& identity) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle file(CreateFileW(ForCall(name).c_str(), 0, share, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid()) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = GetFileInformationByHandle(file.Get(), &information);
    identity = win32::IdentityOf(information);
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
    win32::FileIdentity a;
    win32::FileIdentity b;
    return !first.empty() && !second.empty() && Identify(first, a) && Identify(second, b) && a == b;
}

Status CopyFileNow(TextView source, TextView target) {
    if (IsDevice(target)) return Status(ERROR_INVALID_NAME);
    if (CopyFileW(ForCall(source).c_str(), ForCall(target).c_str(), FALSE)) return {};
    const Status failed = LastError();
    if (const Status readable = Readable(source); readable.Failed() && !IsDirectory(source)) {
        return readable;
    }
    return Judged(failed, target, GENERIC_WRITE, source);
}

Text QueueNameOf(TextView name) { return win32::NormalName(name); }

Status DeleteFileNow(TextView name) {
    if (IsDevice(name)) return Status(ERROR_INVALID_NAME);
    if (DeleteFileW(ForCall(name).c_str())) return {};
    return Judged(LastError(), name, DELETE);
}

// Opened for writing with every sharing allowed, the file refuses only a holder that denies
// others the write that a copy needs; the refusal is judged as a failed copy's is.
Status ProbeInUse(TextView name) {
    if (IsDevice(name)) return Status(ERROR_INVALID_NAME);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle file(CreateFileW(ForCall(name).c_str(), GENERIC_WRITE, share, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
    if (file.Valid() || GetLastError() == ERROR_FILE_NOT_FOUND) return {};
    return Judged(LastError(), name, GENERIC_WRITE);
}

Status ScheduleDeleteAtRestart(TextView name) {
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
    return Status(kept.Code(), mayStay ? Status::Note::MayStillBeQueued : Status::Note::None);
}

}  // namespace pinfile
