#include "Records.h"

#include <algorithm>

#include "../FileSystem.h"

namespace pinfile::win32 {

namespace {

// A value's name is at most 16383 characters long; the buffer holds any with room to spare.
constexpr std::size_t kValueNameBuffer = 32768;

}  // namespace

Status OpenPinfileKey(const wchar_t* name, REGSAM access, bool create, OwnedKey& key) {
    if (create) {
        return RegistryStatus(RegCreateKeyExW(HKEY_LOCAL_MACHINE, name, 0, nullptr, 0, access,
                                              nullptr, key.Receive(), nullptr));
    }
    return RegistryStatus(RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, access, key.Receive()));
}

Status WriteRecordBytes(const wchar_t* keyName, TextView name, const void* data, DWORD size) {
    OwnedKey key;
    Status status = OpenPinfileKey(keyName, KEY_QUERY_VALUE | KEY_SET_VALUE, true, key);
    if (status.Succeeded()) {
        status = RegistryStatus(RegSetValueExW(key.Get(), Text(name).c_str(), 0, REG_BINARY,
                                               static_cast<const BYTE*>(data), size));
    }
    return status.Succeeded() ? RegistryStatus(RegFlushKey(key.Get())) : status;
}

void DeleteRecord(const wchar_t* keyName, TextView name) {
    OwnedKey key;
    if (OpenPinfileKey(keyName, KEY_SET_VALUE, false, key).Succeeded()) {
        RegDeleteValueW(key.Get(), Text(name).c_str());
    }
}

std::vector<Text> ValueNames(HKEY key) {
    std::vector<Text> names;
    std::vector<wchar_t> name(kValueNameBuffer);
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

void ForgetWhatIsNotWaiting(const wchar_t* keyName, PendingOperation::Kind kind) {
    OwnedKey key;
    if (OpenPinfileKey(keyName, KEY_QUERY_VALUE | KEY_SET_VALUE, false, key).Failed()) return;
    const PendingList list = ReadPendingOperations();
    if (list.status.Failed()) return;
    for (const Text& name : ValueNames(key.Get())) {
        if (!ListHolds(list, kind, name)) RegDeleteValueW(key.Get(), name.c_str());
    }
}

}  // namespace pinfile::win32
