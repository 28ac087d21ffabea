#include "../PendingQueue.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <utility>
#include <vector>

#include "../FileSystem.h"

#include "LastRestart.h"
#include "Records.h"
#include "RestartList.h"
#include "StagedFile.h"
#include "Win32.h"

namespace pinfile {

namespace {

using win32::OwnedKey;

// pinfile's notes of the deletions it queued, so that the list tells them from others'.
constexpr const wchar_t* kDeletionsKey = L"SOFTWARE\\pinfile\\QueuedDeletions";

constexpr const wchar_t* kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// The system keeps its restart-time operations in two values, carried out in this order.
constexpr std::array<const wchar_t*, 2> kRenameValues = {L"PendingFileRenameOperations",
                                                         L"PendingFileRenameOperations2"};

// ---- names ----

// What the system says a name is: the folder it lies in, by volume and file index and by its
// final path, and the file's long name there. Names that reach one file another way (an 8.3
// name, "\\.\" or "\\?\", another drive letter, a linked folder) give the same key.
struct FileKey {
    Text full;  // the normal name, for when the folder cannot be asked
    bool known = false;
    BY_HANDLE_FILE_INFORMATION folder{};
    Text finalFolder;
    Text name;
};

FileKey KeyOf(TextView name) {
    FileKey key;
    key.full = win32::NormalName(name);
    Text full;
    if (win32::FullPathName(win32::PlainName(name), full).Failed()) return key;
    const std::size_t slash = full.find_last_of(L"\\/");
    if (slash == Text::npos || slash + 1 == full.size()) return key;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle folder(CreateFileW(win32::CallName(full.substr(0, slash + 1)).c_str(),
                                                0, share, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.Valid() || !GetFileInformationByHandle(folder.Get(), &key.folder)) return key;
    const auto finalPath = [&](wchar_t* buffer, std::size_t size) {
        return GetFinalPathNameByHandleW(folder.Get(), buffer, static_cast<DWORD>(size),
                                         FILE_NAME_NORMALIZED);
    };
    win32::Grown(finalPath, key.finalFolder).Ignore();
    const Text known = win32::LongFullName(full);
    key.name = known.substr(known.find_last_of(L"\\/") + 1);
    key.known = true;
    return key;
}

bool SameFolder(const FileKey& a, const FileKey& b) {
    const bool sameIndex = a.folder.dwVolumeSerialNumber == b.folder.dwVolumeSerialNumber &&
                           a.folder.nFileIndexHigh == b.folder.nFileIndexHigh &&
                           a.folder.nFileIndexLow == b.folder.nFileIndexLow;
    return sameIndex || (!a.finalFolder.empty() && NamesMatch(a.finalFolder, b.finalFolder));
}

bool SameFile(const FileKey& a, const FileKey& b) {
    if (NamesMatch(a.full, b.full)) return true;
    return a.known && b.known && NamesMatch(a.name, b.name) && SameFolder(a, b);
}

TextView LastComponent(TextView name) {
    const std::size_t slash = name.find_last_of(L"\\/");
    return slash == TextView::npos ? name : name.substr(slash + 1);
}

// The last components by which the list may name the command's file in its folder: its normal
// name's and its long name, and the 8.3 name that the folder keeps for it, if any.
std::vector<Text> NamesInFolder(TextView name, const FileKey& file) {
    std::vector<Text> names = {Text(LastComponent(file.full))};
    if (file.known) names.push_back(file.name);
    Text full;
    if (win32::FullPathName(win32::PlainName(name), full).Failed()) return names;
    WIN32_FIND_DATAW found{};
    const win32::OwnedSearch search(FindFirstFileW(win32::CallName(full).c_str(), &found));
    if (search.Valid() && found.cAlternateFileName[0] != L'\0') {
        names.emplace_back(found.cAlternateFileName);
    }
    return names;
}

// Whether the listed name is the command's file. The folder of a listed name is opened only
// when its last component may name the file: with thousands of other programs' operations
// waiting, opening each one's folder would cost seconds.
bool IsTheFile(TextView listed, const FileKey& file, const std::vector<Text>& names) {
    TextView leaf = LastComponent(listed);
    Text full;
    // Asking the system for the full path of every entry would cost a third of a run again.
    if (!win32::FullPathKeepsComponent(leaf)) {
        if (win32::FullPathName(win32::PlainName(listed), full).Failed()) {
            return SameFile(KeyOf(listed), file);
        }
        leaf = LastComponent(full);
    }
    if (!win32::MayNameFile(leaf, names)) return false;
    return SameFile(KeyOf(listed), file);
}

// ---- the two values ----

// One value as its strings. Every NUL ends a string, so the NUL that closes the list reads
// as a last empty string; the boot reads the same way, and takes that NUL for the empty
// target of a lone last source.
using Strings = std::vector<Text>;
using RenameValues = std::array<Strings, kRenameValues.size()>;

Status OpenSessionManager(REGSAM access, OwnedKey& key) {
    return win32::RegistryStatus(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, access, key.Receive()));
}

// The value's bytes as they are; an absent value is an empty list.
Status ReadRawValue(HKEY key, const wchar_t* value, std::vector<wchar_t>& data) {
    data.clear();
    // Another program may write the value between the two calls; the size is asked again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status = RegQueryValueExW(key, value, nullptr, &type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND) return {};
        if (status != ERROR_SUCCESS) return win32::RegistryStatus(status);
        data.assign(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        status = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                  &size);
        if (status == ERROR_MORE_DATA) continue;
        if (status == ERROR_FILE_NOT_FOUND) return {};
        if (status != ERROR_SUCCESS) return win32::RegistryStatus(status);
        if (type != REG_MULTI_SZ) return Status(ERROR_UNSUPPORTED_TYPE);
        data.resize(size / sizeof(wchar_t));
        return {};
    }
    return Status(ERROR_MORE_DATA);
}

Status ReadValues(HKEY key, RenameValues& values) {
    for (std::size_t v = 0; v < values.size(); ++v) {
        std::vector<wchar_t> data;
        if (const Status read = ReadRawValue(key, kRenameValues[v], data); read.Failed()) {
            return read;
        }
        values[v] = win32::SplitListStrings(data);
    }
    return {};
}

// Writes the strings back; a value left with no strings but empty ones goes away.
Status WriteValue(HKEY key, const wchar_t* value, const Strings& strings) {
    if (std::all_of(strings.begin(), strings.end(), [](const Text& s) { return s.empty(); })) {
        const LSTATUS status = RegDeleteValueW(key, value);
        return status == ERROR_FILE_NOT_FOUND ? Status() : win32::RegistryStatus(status);
    }
    std::vector<wchar_t> data;
    for (const Text& string : strings) {
        data.insert(data.end(), string.begin(), string.end());
        data.push_back(L'\0');
    }
    // A multi-string ends in two NULs; a list that lost its closing one gets it back.
    if (!strings.back().empty()) data.push_back(L'\0');
    return win32::RegistryStatus(RegSetValueExW(key, value, 0, REG_MULTI_SZ,
                                                reinterpret_cast<const BYTE*>(data.data()),
                                                static_cast<DWORD>(data.size() * sizeof(wchar_t))));
}

// ---- withdrawing ----

// Chooses by the operation and its place in the list (from 0, across both values).
using Chooser = std::function<bool(std::size_t place, const PendingOperation& operation)>;

struct Edit {
    Status status;
    std::vector<PendingOperation> withdrawn;
    std::vector<PendingOperation> kept;  // chosen, but still in the list
};

// Takes the chosen pairs out of one value's strings; every other string stays as it was.
std::vector<PendingOperation> TakeChosen(Strings& strings, std::size_t& place,
                                         const Chooser& chosen) {
    std::vector<PendingOperation> taken;
    Strings left;
    const std::size_t end = win32::ListOperationsEnd(strings);
    for (std::size_t i = 0; i < end; i += 2, ++place) {
        PendingOperation operation = win32::OperationOfPair(strings[i], strings[i + 1]);
        if (chosen(place, operation)) {
            taken.push_back(std::move(operation));
        } else {
            left.push_back(std::move(strings[i]));
            left.push_back(std::move(strings[i + 1]));
        }
    }
    left.insert(left.end(),
                std::make_move_iterator(strings.begin() + static_cast<std::ptrdiff_t>(end)),
                std::make_move_iterator(strings.end()));
    strings = std::move(left);
    return taken;
}

void Append(std::vector<PendingOperation>& to, std::vector<PendingOperation>&& from) {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// Only what is on disk counts: a withdrawal that cannot be flushed may come back.
void Conclude(HKEY key, Edit& edit) {
    if (edit.withdrawn.empty()) return;
    const Status flushed = win32::RegistryStatus(RegFlushKey(key));
    if (flushed.Failed()) {
        edit.status = flushed;
        Append(edit.kept, std::move(edit.withdrawn));
        edit.withdrawn.clear();
        return;
    }
    for (const PendingOperation& operation : edit.withdrawn) {
        win32::ForgetExpectation(operation);
        if (operation.kind == PendingOperation::Kind::Delete) {
            win32::ForgetQueuedDeletion(operation.source);
        }
        if (operation.kind != PendingOperation::Kind::Replace) continue;
        // Only the file that pinfile's record proves is its own goes: a staged file that someone
        // changed since, or another program's file of any name, stays.
        win32::DeleteStagedFile(operation.source);
        win32::ForgetStagedFile(operation.source);
    }
}

// A caller without the right to edit the list still learns what stays in it.
Status OpenForEditing(OwnedKey& key, Status& writable) {
    writable = OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    if (writable.Succeeded()) return {};
    return OpenSessionManager(KEY_QUERY_VALUE, key);
}

// True while the list is still as it was read.
bool Unchanged(HKEY key, const RenameValues& read) {
    RenameValues now;
    return ReadValues(key, now).Succeeded() && now == read;
}

Edit WithdrawChosen(const Chooser& chosen) {
    Edit edit;
    OwnedKey key;
    Status writable;
    edit.status = OpenForEditing(key, writable);
    if (edit.status.Failed()) return edit;
    // Nothing locks the list against other programs. One that queues an operation while the
    // list is edited here would lose it when the edit is written, so an edit whose list has
    // changed is made again from the new list.
    RenameValues values;
    std::array<std::vector<PendingOperation>, kRenameValues.size()> taken;
    for (int attempt = 0; attempt < 4; ++attempt) {
        edit.status = ReadValues(key.Get(), values);
        if (edit.status.Failed()) return edit;
        const RenameValues read = values;
        std::size_t place = 0;
        bool anyTaken = false;
        for (std::size_t v = 0; v < values.size(); ++v) {
            taken[v] = TakeChosen(values[v], place, chosen);
            anyTaken = anyTaken || !taken[v].empty();
        }
        if (!anyTaken || writable.Failed() || Unchanged(key.Get(), read)) break;
    }
    for (std::size_t v = 0; v < values.size(); ++v) {
        if (taken[v].empty()) continue;
        const Status written =
            writable.Failed() ? writable : WriteValue(key.Get(), kRenameValues[v], values[v]);
        if (written.Failed()) edit.status = written;
        Append(written.Succeeded() ? edit.withdrawn : edit.kept, std::move(taken[v]));
    }
    Conclude(key.Get(), edit);
    return edit;
}

// The place of the last operation that the chooser picks, or the list's size when none.
std::size_t LastChosenPlace(const PendingList& list, const Chooser& chosen) {
    std::size_t last = list.operations.size();
    for (std::size_t place = 0; place < list.operations.size(); ++place) {
        if (chosen(place, list.operations[place])) last = place;
    }
    return last;
}

}  // namespace

PendingList ReadPendingOperations() {
    PendingList list;
    OwnedKey key;
    RenameValues values;
    Status status = OpenSessionManager(KEY_QUERY_VALUE, key);
    if (status.Code() == ERROR_FILE_NOT_FOUND) status = Status();
    if (status.Succeeded() && key.Get() != nullptr) status = ReadValues(key.Get(), values);
    list.status = status;
    if (status.Failed()) return list;
    for (std::size_t v = 0; v < values.size(); ++v) {
        const std::size_t end = win32::ListOperationsEnd(values[v]);
        for (std::size_t i = 0; i < end; i += 2) {
            PendingOperation operation = win32::OperationOfPair(values[v][i], values[v][i + 1]);
            operation.place = kRenameValues[v];
            if (operation.kind == PendingOperation::Kind::Replace) {
                // pinfile's only by its record, whatever the staged file's name looks like.
                operation.staged = win32::CheckStagedFile(operation.source);
                operation.byPinfile = operation.staged != PendingOperation::StagedState::Unchecked;
            } else if (operation.kind == PendingOperation::Kind::Delete) {
                operation.byPinfile = win32::QueuedDeletionByPinfile(operation.source);
            }
            list.operations.push_back(std::move(operation));
        }
    }
    return list;
}

Withdrawal WithdrawUndoingOperations(LaterCommand command, TextView name, TextView queuedStaged) {
    const FileKey file = KeyOf(name);
    const std::vector<Text> names = NamesInFolder(name, file);
    const Text own = queuedStaged.empty() ? Text() : win32::NormalName(queuedStaged);
    const auto isTheFile = [&](TextView listed) { return IsTheFile(listed, file, names); };
    Edit edit = WithdrawChosen([&](std::size_t, const PendingOperation& operation) {
        return UndoesLaterCommand(command, operation, own, isTheFile);
    });
    return {edit.status, std::move(edit.withdrawn), std::move(edit.kept)};
}

Cancellation CancelPendingOperation(std::int32_t number) {
    if (number < 1) return {Cancellation::Kind::NoSuchOperation, {}, {}};
    const auto wanted = static_cast<std::size_t>(number - 1);
    Edit edit =
        WithdrawChosen([&](std::size_t place, const PendingOperation&) { return place == wanted; });
    if (!edit.withdrawn.empty()) {
        return {Cancellation::Kind::Cancelled, {}, std::move(edit.withdrawn.front())};
    }
    if (edit.status.Failed()) return {Cancellation::Kind::Failed, edit.status, {}};
    return {Cancellation::Kind::NoSuchOperation, {}, {}};
}

ApplyOutcome ApplyPendingOperations(const std::function<void(const AppliedOperation&)>& /*tell*/) {
    return {ApplyOutcome::Kind::NotSupported, {}, Text()};
}

namespace win32 {

bool MayNameFile(TextView listedLeaf, const std::vector<Text>& fileNames) {
    // The directory search reads these as patterns ("<", ">" and '"' are the DOS forms of
    // "*", "?" and "."), so such a component may find the file by a name it does not spell.
    if (listedLeaf.find_first_of(L"<>\"") != TextView::npos) return true;
    return std::any_of(fileNames.begin(), fileNames.end(),
                       [&](const Text& name) { return NamesMatch(listedLeaf, name); });
}

bool FullPathKeepsComponent(TextView component) {
    if (component.empty() || component.back() == L'.' || component.back() == L' ') return false;
    if (component.find(L':') != TextView::npos) return false;
    // A device name is one whatever its extension and spaces before it: "nul .txt".
    TextView stem = component.substr(0, component.find(L'.'));
    stem = stem.substr(0, stem.find_last_not_of(L' ') + 1);
    constexpr std::array<TextView, 6> kDevices = {L"CON", L"PRN",    L"AUX",
                                                  L"NUL", L"CONIN$", L"CONOUT$"};
    constexpr std::array<TextView, 2> kNumbered = {L"COM", L"LPT"};  // then a digit
    const auto is = [&](TextView device) { return NamesMatch(stem, device); };
    const auto numbered = [&](TextView device) {
        return stem.size() == device.size() + 1 &&
               NamesMatch(stem.substr(0, device.size()), device);
    };
    return std::none_of(kDevices.begin(), kDevices.end(), is) &&
           std::none_of(kNumbered.begin(), kNumbered.end(), numbered);
}

Status KeepQueuedOperation(TextView source, TextView target, bool& mayStay) {
    mayStay = false;
    OwnedKey key;
    Status status = OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE, key);
    if (status.Succeeded()) status = RegistryStatus(RegFlushKey(key.Get()));
    if (status.Succeeded()) return {};
    // The system appends, so the just-added operation is the last one that matches.
    const Text from = win32::NormalName(source);
    const Text to = target.empty() ? Text() : win32::NormalName(target);
    const Chooser added = [&](std::size_t, const PendingOperation& operation) {
        const auto kind =
            to.empty() ? PendingOperation::Kind::Delete : PendingOperation::Kind::Replace;
        return operation.kind == kind && NamesMatch(operation.source, from) &&
               NamesMatch(operation.target, to);
    };
    const std::size_t last = LastChosenPlace(ReadPendingOperations(), added);
    const Edit undone =
        WithdrawChosen([&](std::size_t place, const PendingOperation&) { return place == last; });
    mayStay = undone.status.Failed() || undone.withdrawn.empty();
    return status;
}

void RememberQueuedDeletion(TextView name) {
    ForgetWhatIsNotWaiting(kDeletionsKey, PendingOperation::Kind::Delete);
    WriteRecordBytes(kDeletionsKey, name, nullptr, 0).Ignore();
}

void ForgetQueuedDeletion(TextView name) { DeleteRecord(kDeletionsKey, name); }

bool QueuedDeletionByPinfile(TextView name) {
    OwnedKey key;
    return OpenPinfileKey(kDeletionsKey, KEY_QUERY_VALUE, false, key).Succeeded() &&
           RegQueryValueExW(key.Get(), Text(name).c_str(), nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
}

}  // namespace win32

}  // namespace pinfile
