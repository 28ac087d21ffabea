#include <vector>

#include "../RuntimeError.h"
#include "RestartList.h"
#include "Win32.h"

namespace pinfile::win32 {

namespace {

// The plain form of a name reaches only MAX_PATH characters, and a folder must leave room for
// an 8.3 name inside it; anything longer needs the "\\?\" form, which has no such limit.
constexpr std::size_t kLongestPlainName = MAX_PATH - 14;

// No name that the system takes is longer than 32767 characters: a buffer that has grown past
// this size holds any, and one that still does not fit is no name.
constexpr std::size_t kLargestNameBuffer = 0x10000;

bool StartsWith(TextView text, TextView prefix) { return text.substr(0, prefix.size()) == prefix; }

bool IsWildcard(TextView name) { return name.find_first_of(L"*?") != TextView::npos; }

}  // namespace

Status FullPathName(TextView name, Text& full) {
    const Text given(name);
    return Grown(
        [&](wchar_t* buffer, std::size_t size) {
            return GetFullPathNameW(given.c_str(), static_cast<DWORD>(size), buffer, nullptr);
        },
        full);
}

Text LongFullName(TextView name) {
    Text full;
    if (FullPathName(name, full).Failed()) return Text(name);
    const std::size_t slash = full.find_last_of(L"\\/");
    if (slash == Text::npos || IsWildcard(TextView(full).substr(slash))) return full;
    WIN32_FIND_DATAW found{};
    const OwnedSearch search(FindFirstFileW(CallName(full).c_str(), &found));
    if (!search.Valid()) return full;
    return full.substr(0, slash + 1) + found.cFileName;
}

namespace {

// The path of an existing folder as the system resolves it: the drive that holds it rather
// than a mapped or substituted one, every link on the way followed, long names in the case the
// disk keeps; with a separator at the end. Empty when the folder cannot be asked.
Text ResolvedFolder(TextView folder) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const OwnedHandle handle(CreateFileW(CallName(folder).c_str(), 0, share, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.Valid()) return Text();
    Text resolved;
    const auto finalPath = [&](wchar_t* buffer, std::size_t size) {
        return GetFinalPathNameByHandleW(handle.Get(), buffer, static_cast<DWORD>(size),
                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    };
    if (Grown(finalPath, resolved).Failed()) return Text();
    resolved = PlainName(resolved);
    if (!resolved.ends_with(L'\\')) resolved += L'\\';
    return resolved;
}

// The last component of a full path as its folder lists it (the long name, in the case the
// disk keeps), or as given when there is no such entry.
Text ListedLeaf(const Text& full, std::size_t slash) {
    Text leaf = full.substr(slash + 1);
    if (IsWildcard(leaf)) return leaf;
    WIN32_FIND_DATAW found{};
    const OwnedSearch search(FindFirstFileW(CallName(full).c_str(), &found));
    return search.Valid() ? Text(found.cFileName) : leaf;
}

}  // namespace

Text NormalName(TextView name) {
    // "\??\" means nothing to the full-path rule, which would take it for a relative name.
    Text plain = PlainName(name);
    Text full;
    if (FullPathName(plain, full).Failed()) return plain;
    full = PlainName(full);
    const std::size_t slash = full.find_last_of(L'\\');
    if (slash == Text::npos || slash + 1 == full.size()) return full;
    const Text folder = ResolvedFolder(TextView(full).substr(0, slash + 1));
    return (folder.empty() ? full.substr(0, slash + 1) : folder) + ListedLeaf(full, slash);
}

Text CallName(TextView name) {
    if (name.size() <= kLongestPlainName || StartsWith(name, L"\\\\?\\") ||
        StartsWith(name, L"\\??\\")) {
        return Text(name);
    }
    Text full;
    if (FullPathName(name, full).Failed()) return Text(name);
    if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) return full;
    if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

Status ModuleFileName(Text& name) {
    std::vector<wchar_t> buffer(MAX_PATH);
    // The name is cut to the buffer, with no other sign than filling it whole.
    while (buffer.size() <= kLargestNameBuffer) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return LastError();
        if (length < buffer.size()) {
            name.assign(buffer.data(), length);
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    return Status(ERROR_INSUFFICIENT_BUFFER);
}

Text ProgramFilePath() {
    Text name;
    if (const Status found = ModuleFileName(name); found.Failed()) {
        RaiseSystemError("cannot get the program's file name", found.Code());
    }
    return name;
}

}  // namespace pinfile::win32
