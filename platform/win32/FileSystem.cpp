#include "../FileSystem.h"

#include <vector>

#include "RestartList.h"
#include "Win32.h"

namespace pinfile {

namespace {

using win32::LastError;
using win32::Z;

bool IsDirectory(TextView name) {
    const DWORD attributes = GetFileAttributesW(Z(name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Codes with which the system refuses a file that another process holds open, locked or
// mapped right now; access denied also covers a running program's own file.
bool IsInUseCode(ErrorCode code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_USER_MAPPED_FILE || code == ERROR_ACCESS_DENIED;
}

FileCallResult Result(BOOL succeeded) { return {succeeded ? 0 : LastError(), false}; }

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Asks for no access at all, so that even a file held without sharing can be identified.
bool Identify(TextView name, FileIdentity& identity) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileW(Z(name).c_str(), 0, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    const BOOL known = GetFileInformationByHandle(file, &information);
    CloseHandle(file);
    identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                information.nFileIndexLow};
    return known != FALSE;
}

ErrorCode FlushFile(TextView name) {
    const win32::OwnedHandle file(CreateFileW(Z(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                              nullptr));
    if (!file.Valid()) return LastError();
    return FlushFileBuffers(file.Get()) ? 0 : LastError();
}

}  // namespace

bool FindEntry(TextView name) {
    if (name.empty()) return false;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Z(name).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE || search == nullptr) return false;
    FindClose(search);
    return true;
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
    FileCallResult result = Result(CopyFileW(Z(source).c_str(), Z(target).c_str(), FALSE));
    // A directory answers with access denied too, and would never be placed at restart.
    result.inUse = !result.Succeeded() && IsInUseCode(result.error) && !IsDirectory(source) &&
                   !IsDirectory(target);
    return result;
}

FileCallResult DeleteFileNow(TextView name) {
    FileCallResult result = Result(DeleteFileW(Z(name).c_str()));
    result.inUse = !result.Succeeded() && IsInUseCode(result.error) && !IsDirectory(name);
    return result;
}

Text StagingFolderFor(TextView target) {
    const Text name = Z(target);
    const DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size == 0) return Text(L".");
    std::vector<wchar_t> full(size);
    wchar_t* filePart = nullptr;
    const DWORD length = GetFullPathNameW(name.c_str(), size, full.data(), &filePart);
    if (length == 0 || length >= size) return Text(L".");
    const std::size_t folderLength =
        filePart != nullptr ? static_cast<std::size_t>(filePart - full.data()) : length;
    return Text(full.data(), folderLength);
}

ErrorCode ScheduleReplaceAtRestart(TextView staged, TextView target) {
    // The restart renames the staged copy into place; its bytes must be on disk by then.
    if (const ErrorCode error = FlushFile(staged); error != 0) return error;
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT;
    if (!MoveFileExW(Z(staged).c_str(), Z(target).c_str(), flags)) return LastError();
    return win32::KeepQueuedOperation(staged, target);
}

ErrorCode ScheduleDeleteAtRestart(TextView name) {
    if (!MoveFileExW(Z(name).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return LastError();
    return win32::KeepQueuedOperation(name, TextView());
}

void DiscardStagedFile(TextView name) { DeleteFileW(Z(name).c_str()); }

}  // namespace pinfile
