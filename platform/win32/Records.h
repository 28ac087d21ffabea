// pinfile's own records beside the restart list: values under HKLM\SOFTWARE\pinfile, one per
// file, named by the file's normal name. Callers pass names in that form only (made by
// NormalName, or read from the restart list, which pinfile writes in it), so that a name of the
// list finds its record as it stands, without asking the system about its folder again.
#pragma once

#include <windows.h>

#include <vector>

#include "../PendingQueue.h"
#include "../Status.h"
#include "../Text.h"
#include "Win32.h"

namespace pinfile::win32 {

// Opens one of pinfile's keys, made first when create says so.
Status OpenPinfileKey(const wchar_t* name, REGSAM access, bool create, OwnedKey& key);

// Writes the record of the file, with the bytes given (none for a mere note), and makes it
// last.
Status WriteRecordBytes(const wchar_t* keyName, TextView name, const void* data, DWORD size);

template <typename Data>
Status WriteRecord(const wchar_t* keyName, TextView name, const Data* data) {
    return WriteRecordBytes(keyName, name, data, data == nullptr ? 0 : sizeof *data);
}

// Drops the record of the file, if there is one.
void DeleteRecord(const wchar_t* keyName, TextView name);

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
           ReadValue(key.Get(), Text(name), data);
}

// The names of every value of the key.
std::vector<Text> ValueNames(HKEY key);

// Whether the list holds an operation of the kind from the source.
bool ListHolds(const PendingList& list, PendingOperation::Kind kind, TextView source);

// Drops the records in the key of operations that the list no longer holds (of the kind
// given): carried out by a restart, or taken out of the list by another program.
void ForgetWhatIsNotWaiting(const wchar_t* keyName, PendingOperation::Kind kind);

}  // namespace pinfile::win32
