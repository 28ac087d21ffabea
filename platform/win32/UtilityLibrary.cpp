
#include "../UtilityLibrary.h"
#include "../Console.h"
#include "../RuntimeError.h"
#include "Win32.h"

// After windows.h, which it needs.
#include <commctrl.h>

namespace pinfile {

namespace win32 {

Text DescribeError(DWORD code) {
    LPWSTR buffer = nullptr;
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length =
        FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    Text text(buffer != nullptr ? buffer : L"", length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

}  // namespace win32

Text ulRegisterAppPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return Text(path, length);
}

bool ulIsInIDE() { return false; }

WindowHandle ulGetThunderMainHandle() { return 0; }

// The only window a console program has is the console's, which belongs to the user's shell.
void ulSetWindowResIconAll(WindowHandle /*window*/, TextView /*resourceName*/) {}

bool ulIsHostWin9x() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // The one call that still tells the platform family; the manifest makes it truthful.
    if (!GetVersionExW(&version))
        RaiseSystemError("cannot read the system version", static_cast<int>(GetLastError()));
#pragma GCC diagnostic pop
    return version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

Text ulGetAPIErrorDescription(ErrorCode code) {
    Text text = win32::DescribeError(static_cast<DWORD>(code));
    if (text.empty())
        RaiseSystemError("no description for system error " + std::to_string(code),
                         static_cast<int>(GetLastError()));
    return text;
}

Text ulGetSystemPath() {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        RaiseSystemError("cannot get the system folder", static_cast<int>(GetLastError()));
    return Text(path, length);
}

Text ulGetTempFileName2(TextView directory, TextView prefix) {
    wchar_t folder[MAX_PATH];
    Text where(directory);
    if (where.empty()) {
        const DWORD length = GetTempPathW(MAX_PATH, folder);
        if (length == 0 || length >= MAX_PATH) return Text();
        where.assign(folder, length);
    }
    wchar_t name[MAX_PATH];
    if (GetTempFileNameW(where.c_str(), Text(prefix).c_str(), 0, name) == 0) return Text();
    return Text(name);
}

void InitCommonControls() { ::InitCommonControls(); }

}  // namespace pinfile
