// The staged files that pinfile makes for the restart list: made so that only administrators
// may change them, filled through the handle that made them, and recorded beside the list so
// that the list can tell when one has gone or been changed since.
#include <vector>

#include "../FileSystem.h"
#include "RestartList.h"
#include "Win32.h"

// After windows.h, which it needs.
#include <sddl.h>

namespace pinfile::win32 {

namespace {

constexpr const wchar_t* kStagedFilesKey = L"SOFTWARE\\pinfile\\StagedFiles";
constexpr const wchar_t* kDeletionsKey = L"SOFTWARE\\pinfile\\QueuedDeletions";

// SYSTEM and Administrators may do anything; everyone else may read and run the file. Not
// inherited from the folder, where any user may have been given the right to write.
constexpr const wchar_t* kStagedSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;WD)";

// SYSTEM and Administrators may use the run lock; nobody else may take or hold it.
constexpr const wchar_t* kRunLockSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// What the staged file held when it was queued: its size and last-write time.
struct Written {
    ULONGLONG size = 0;
    FILETIME lastWrite{};
};

Written WrittenOf(const BY_HANDLE_FILE_INFORMATION& information) {
    Written written;
    written.size =
        (static_cast<ULONGLONG>(information.nFileSizeHigh) << 32U) | information.nFileSizeLow;
    written.lastWrite = information.ftLastWriteTime;
    return written;
}

bool operator==(const Written& a, const Written& b) {
    return a.size == b.size && CompareFileTime(&a.lastWrite, &b.lastWrite) == 0;
}

Status OpenPinfileKey(const wchar_t* name, REGSAM access, bool create, OwnedKey& key) {
    if (create) {
        return RegistryStatus(RegCreateKeyExW(HKEY_LOCAL_MACHINE, name, 0, nullptr, 0, access,
                                              nullptr, key.Receive(), nullptr));
    }
    return RegistryStatus(RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, access, key.Receive()));
}

Status OpenStagedFilesKey(REGSAM access, bool create, OwnedKey& key) {
    return OpenPinfileKey(kStagedFilesKey, access, create, key);
}

// The list names a file by its full path; so does the record.
Text RecordName(TextView name) {
    Text full;
    return FullPathName(name, full).Succeeded() ? full : Text(name);
}

// Drops the records of operations that the list no longer holds (of the kind given):
// carried out by a restart, or taken out of the list by another program.
void ForgetWhatIsNotWaiting(HKEY key, PendingOperation::Kind kind) {
    const PendingList list = ReadPendingOperations();
    if (list.error != 0) return;
    std::vector<Text> stale;
    std::vector<wchar_t> name(32768);
    for (DWORD index = 0;; ++index) {
        auto length = static_cast<DWORD>(name.size());
        if (RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        bool waiting = false;
        for (const PendingOperation& operation : list.operations) {
            waiting = waiting || (operation.kind == kind &&
                                  NamesMatch(operation.source, TextView(name.data(), length)));
        }
        if (!waiting) stale.emplace_back(name.data(), length);
    }
    for (const Text& value : stale) RegDeleteValueW(key, value.c_str());
}

}  // namespace

Status OpenRunLock(OwnedHandle& lock) {
    // Only SYSTEM and Administrators may take it, so that no other user can hold every run.
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunLockSecurity, SDDL_REVISION_1,
                                                              descriptor.Receive(), nullptr)) {
        return LastError();
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
    // The global namespace reaches the runs of every session.
    lock.Reset(CreateMutexW(&security, FALSE, L"Global\\pinfile-run"));
    if (lock.Valid()) return {};
    // Any refusal but access denied means that the name cannot be the lock, for example
    // another kind of object holds it: runs would no longer keep each other apart.
    if (GetLastError() != ERROR_ACCESS_DENIED) return LastError();
    // Either the mutex exists and this user may not use it (another user made it), or this
    // user may not create global objects at all.
    lock.Reset(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\pinfile-run"));
    if (lock.Valid()) return {};
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return Status(ERROR_ACCESS_DENIED);
    // Where the global namespace is refused, the session's own keeps this user's runs apart.
    lock.Reset(CreateMutexW(&security, FALSE, L"pinfile-run"));
    return lock.Valid() ? Status() : LastError();
}

Text CreateStagedFileIn(TextView folder, TextView prefix, OwnedHandle& file, DWORD& error) {
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kStagedSecurity, SDDL_REVISION_1,
                                                              descriptor.Receive(), nullptr)) {
        error = GetLastError();
        return Text();
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
    // Nobody else may write or delete it while it is being written.
    return CreateNumberedFile(folder, prefix, &security, GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ, file, error);
}

Status CopyInto(TextView source, HANDLE file) {
    const OwnedHandle in(CreateFileW(CallName(source).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in.Valid()) return LastError();
    std::vector<char> buffer(1U << 20U);
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

Status RememberStagedFile(TextView name, HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) return LastError();
    const Written written = WrittenOf(information);
    OwnedKey key;
    Status status = OpenStagedFilesKey(KEY_QUERY_VALUE | KEY_SET_VALUE, true, key);
    if (status.Failed()) return status;
    ForgetWhatIsNotWaiting(key.Get(), PendingOperation::Kind::Replace);
    return RegistryStatus(RegSetValueExW(key.Get(), RecordName(name).c_str(), 0, REG_BINARY,
                                         reinterpret_cast<const BYTE*>(&written), sizeof written));
}

void ForgetStagedFile(TextView name) {
    OwnedKey key;
    if (OpenStagedFilesKey(KEY_SET_VALUE, false, key).Succeeded()) {
        RegDeleteValueW(key.Get(), RecordName(name).c_str());
    }
}

void RememberQueuedDeletion(TextView name) {
    OwnedKey key;
    if (OpenPinfileKey(kDeletionsKey, KEY_QUERY_VALUE | KEY_SET_VALUE, true, key).Failed()) return;
    ForgetWhatIsNotWaiting(key.Get(), PendingOperation::Kind::Delete);
    RegSetValueExW(key.Get(), RecordName(name).c_str(), 0, REG_BINARY, nullptr, 0);
}

void ForgetQueuedDeletion(TextView name) {
    OwnedKey key;
    if (OpenPinfileKey(kDeletionsKey, KEY_SET_VALUE, false, key).Succeeded()) {
        RegDeleteValueW(key.Get(), RecordName(name).c_str());
    }
}

bool QueuedDeletionByPinfile(TextView name) {
    OwnedKey key;
    return OpenPinfileKey(kDeletionsKey, KEY_QUERY_VALUE, false, key).Succeeded() &&
           RegQueryValueExW(key.Get(), RecordName(name).c_str(), nullptr, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS;
}

PendingOperation::StagedState CheckStagedFile(TextView name) {
    using State = PendingOperation::StagedState;
    OwnedKey key;
    Written recorded;
    DWORD size = sizeof recorded;
    DWORD type = 0;
    if (OpenStagedFilesKey(KEY_QUERY_VALUE, false, key).Failed() ||
        RegQueryValueExW(key.Get(), RecordName(name).c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(&recorded), &size) != ERROR_SUCCESS ||
        type != REG_BINARY || size != sizeof recorded) {
        return State::Unchecked;
    }
    const OwnedHandle file(CreateFileW(CallName(name).c_str(), 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        const bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return gone ? State::Missing : State::Unchecked;
    }
    if (!GetFileInformationByHandle(file.Get(), &information)) return State::Unchecked;
    return WrittenOf(information) == recorded ? State::Intact : State::Changed;
}

}  // namespace pinfile::win32
