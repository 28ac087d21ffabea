#include <vector>

#include "Win32.h"

namespace pinfile::win32 {

namespace {

// The plain form of a name reaches only MAX_PATH characters, and a folder must leave room for
// an 8.3 name inside it; anything longer needs the "\\?\" form, which has no such limit.
constexpr std::size_t kLongestPlainName = MAX_PATH - 14;

bool StartsWith(TextView text, TextView prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

Text FullPathName(TextView name) {
    const Text given(name);
    std::vector<wchar_t> full(MAX_PATH);
    // The name may change between the calls only by another thread of this process: none.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD length =
            GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) return Text();
        if (length < full.size()) return Text(full.data(), length);
        full.resize(length + 1);
    }
    return Text();
}

Text CallName(TextView name) {
    if (name.size() <= kLongestPlainName || StartsWith(name, L"\\\\?\\") ||
        StartsWith(name, L"\\??\\")) {
        return Text(name);
    }
    const Text full = FullPathName(name);
    if (full.empty() || StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\")) {
        return full.empty() ? Text(name) : full;
    }
    if (StartsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

Text ModuleFileName() {
    std::vector<wchar_t> buffer(MAX_PATH);
    // The name is cut to the buffer, with no other sign than filling it whole.
    while (buffer.size() <= 0x10000) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return Text();
        if (length < buffer.size()) return Text(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
    return Text();
}

}  // namespace pinfile::win32
