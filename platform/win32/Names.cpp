#include <vector>

#include "../RuntimeError.h"
#include "Win32.h"

namespace pinfile::win32 {

namespace {

// The plain form of a name reaches only MAX_PATH characters, and a folder must leave room for
// an 8.3 name inside it; anything longer needs the "\\?\" form, which has no such limit.
constexpr std::size_t kLongestPlainName = MAX_PATH - 14;

bool StartsWith(TextView text, TextView prefix) { return text.substr(0, prefix.size()) == prefix; }

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
    if (slash == Text::npos || full.find_first_of(L"*?", slash) != Text::npos) return full;
    WIN32_FIND_DATAW found{};
    const OwnedSearch search(FindFirstFileW(CallName(full).c_str(), &found));
    if (!search.Valid()) return full;
    return full.substr(0, slash + 1) + found.cFileName;
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
    while (buffer.size() <= 0x10000) {
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
