// The staged files that pinfile makes for the restart list: named in pinfile's staging record
// before they exist, made so that only administrators may change them, deleted on close until
// they are queued, filled through the handle that made them, and recorded beside the list by
// their identity, so that the list can tell when one has gone or been changed since and pinfile
// never deletes a file that only has the name of one of its own.
#include <algorithm>
#include <functional>
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
// Staged files from before they are created until they are queued or gone.
constexpr const wchar_t* kStagingKey = L"SOFTWARE\\pinfile\\Staging";

// SYSTEM and Administrators may do anything; everyone else may read and run the file. Not
// inherited from the folder, where any user may have been given the right to write.
constexpr const wchar_t* kStagedSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;WD)";

// SYSTEM and Administrators may use the run lock; nobody else may take or hold it.
constexpr const wchar_t* kRunLockSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// A file as the system tells it from every other while it exists: its volume's serial number
// and its index on that volume. A name proves nothing; this does.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

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
    return {
        {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow},
        information.nFileSizeHigh,
        information.nFileSizeLow,
        information.ftLastWriteTime.dwHighDateTime,
        information.ftLastWriteTime.dwLowDateTime};
}

Status OpenPinfileKey(const wchar_t* name, REGSAM access, bool create, OwnedKey& key) {
    if (create) {
        return RegistryStatus(RegCreateKeyExW(HKEY_LOCAL_MACHINE, name, 0, nullptr, 0, access,
                                              nullptr, key.Receive(), nullptr));
    }
    return RegistryStatus(RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, access, key.Receive()));
}

// Every record names its file in the one form that all spellings of the file share.
Text RecordName(TextView name) { return NormalName(name); }

// Writes the value and makes it last.
template <typename Data>
Status WriteRecord(const wchar_t* keyName, TextView name, const Data* data) {
    OwnedKey key;
    Status status = OpenPinfileKey(keyName, KEY_QUERY_VALUE | KEY_SET_VALUE, true, key);
    if (status.Succeeded()) {
        status = RegistryStatus(RegSetValueExW(key.Get(), RecordName(name).c_str(), 0, REG_BINARY,
                                               reinterpret_cast<const BYTE*>(data),
                                               data == nullptr ? 0 : sizeof *data));
    }
    return status.Succeeded() ? RegistryStatus(RegFlushKey(key.Get())) : status;
}

void DeleteRecord(const wchar_t* keyName, TextView name) {
    OwnedKey key;
    if (OpenPinfileKey(keyName, KEY_SET_VALUE, false, key).Succeeded()) {
        RegDeleteValueW(key.Get(), RecordName(name).c_str());
    }
}

// True when the value holds exactly the bytes of one Data.
template <typename Data>
bool ReadValue(HKEY key, const Text& value, Data& data) {
    DWORD size = sizeof data;
    DWORD type = 0;
    return RegQueryValueExW(key, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data),
                            &size) == ERROR_SUCCESS &&
           type == REG_BINARY && size == sizeof data;
}

template <typename Data>
bool ReadRecord(const wchar_t* keyName, TextView name, Data& data) {
    OwnedKey key;
    return OpenPinfileKey(keyName, KEY_QUERY_VALUE, false, key).Succeeded() &&
           ReadValue(key.Get(), RecordName(name), data);
}

std::vector<Text> ValueNames(HKEY key) {
    std::vector<Text> names;
    std::vector<wchar_t> name(32768);
    for (DWORD index = 0;; ++index) {
        auto length = static_cast<DWORD>(name.size());
        if (RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            return names;
        }
        names.emplace_back(name.data(), length);
    }
}

bool ListHolds(const PendingList& list, PendingOperation::Kind kind, TextView source) {
    return std::any_of(list.operations.begin(), list.operations.end(),
                       [&](const PendingOperation& operation) {
                           return operation.kind == kind && NamesMatch(operation.source, source);
                       });
}

// Drops the records of operations that the list no longer holds (of the kind given):
// carried out by a restart, or taken out of the list by another program.
void ForgetWhatIsNotWaiting(HKEY key, PendingOperation::Kind kind) {
    const PendingList list = ReadPendingOperations();
    if (list.error != 0) return;
    for (const Text& name : ValueNames(key)) {
        if (!ListHolds(list, kind, name)) RegDeleteValueW(key, name.c_str());
    }
}

// Opens the file that the name leads to now, the name itself when it is a link, without
// keeping anyone else from it.
OwnedHandle OpenByName(TextView name, DWORD access) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    return OwnedHandle(CreateFileW(CallName(name).c_str(), access, share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// What became of a file that a record names when pinfile set out to delete it.
enum class Removal { Deleted, NotThere, NotProven, Failed };

// Deletes the file that the name leads to when it is the one the record proves, through the
// handle that it was checked by.
Removal DeleteIfProven(TextView name, const std::function<bool(const StagedRecord&)>& proven) {
    const OwnedHandle file = OpenByName(name, DELETE);
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        const bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return gone ? Removal::NotThere : Removal::Failed;
    }
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

Status SetDeleteOnClose(HANDLE file, bool deleted) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    const bool set = SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                                sizeof disposition) != FALSE;
    return set ? Status() : LastError();
}

void ForgetStagingRecord(TextView name) { DeleteRecord(kStagingKey, name); }

void SweepStagingLeftovers() {
    OwnedKey key;
    if (OpenPinfileKey(kStagingKey, KEY_QUERY_VALUE | KEY_SET_VALUE, false, key).Failed()) return;
    const std::vector<Text> names = ValueNames(key.Get());
    if (names.empty()) return;
    // A file that the restart list uses was queued before its run ended: it stays.
    const PendingList list = ReadPendingOperations();
    if (list.error != 0) return;
    for (const Text& name : names) {
        if (ListHolds(list, PendingOperation::Kind::Replace, name) ||
            SettleLeftover(key.Get(), name)) {
            RegDeleteValueW(key.Get(), name.c_str());
        }
    }
    RegFlushKey(key.Get());
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
    const StagedRecord written = RecordOf(information);
    {
        OwnedKey key;
        if (OpenPinfileKey(kStagedFilesKey, KEY_QUERY_VALUE | KEY_SET_VALUE, false, key)
                .Succeeded()) {
            ForgetWhatIsNotWaiting(key.Get(), PendingOperation::Kind::Replace);
        }
    }
    return WriteRecord(kStagedFilesKey, name, &written);
}

void ForgetStagedFile(TextView name) { DeleteRecord(kStagedFilesKey, name); }

void RememberQueuedDeletion(TextView name) {
    {
        OwnedKey key;
        if (OpenPinfileKey(kDeletionsKey, KEY_QUERY_VALUE | KEY_SET_VALUE, false, key)
                .Succeeded()) {
            ForgetWhatIsNotWaiting(key.Get(), PendingOperation::Kind::Delete);
        }
    }
    WriteRecord<FileIdentity>(kDeletionsKey, name, nullptr).Ignore();
}

void ForgetQueuedDeletion(TextView name) { DeleteRecord(kDeletionsKey, name); }

bool QueuedDeletionByPinfile(TextView name) {
    OwnedKey key;
    return OpenPinfileKey(kDeletionsKey, KEY_QUERY_VALUE, false, key).Succeeded() &&
           RegQueryValueExW(key.Get(), RecordName(name).c_str(), nullptr, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS;
}

PendingOperation::StagedState CheckStagedFile(TextView name) {
    using State = PendingOperation::StagedState;
    StagedRecord recorded;
    if (!ReadRecord(kStagedFilesKey, name, recorded)) return State::Unchecked;
    const OwnedHandle file = OpenByName(name, 0);
    BY_HANDLE_FILE_INFORMATION information{};
    if (!file.Valid()) {
        const DWORD error = GetLastError();
        const bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return gone ? State::Missing : State::Unchecked;
    }
    if (!GetFileInformationByHandle(file.Get(), &information)) return State::Unchecked;
    return RecordOf(information) == recorded ? State::Intact : State::Changed;
}

bool DeleteStagedFile(TextView name) {
    StagedRecord recorded;
    if (!ReadRecord(kStagedFilesKey, name, recorded)) return false;
    const auto isWritten = [&](const StagedRecord& found) { return found == recorded; };
    return DeleteIfProven(name, isWritten) == Removal::Deleted;
}

}  // namespace pinfile::win32
