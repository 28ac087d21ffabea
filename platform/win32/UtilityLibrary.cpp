#include "../UtilityLibrary.h"
#include "../Backend.h"
#include "../Console.h"
#include "../RuntimeError.h"
#include "../StagedFile.h"
#include "Win32.h"

#include <algorithm>
#include <cwchar>
#include <vector>

// After windows.h, which it needs.
#include <commctrl.h>

namespace pinfile {

namespace {

// The name the system's GetTempFileNameW would give: the prefix, the number in up to four
// hex digits and ".tmp". That call writes into a buffer of MAX_PATH characters, which a long
// folder overruns, so the name is made and created here instead.
Text TemporaryName(TextView folder, TextView prefix, unsigned number) {
    // Up to four digits, in upper case as the system writes them, without leading zeros.
    Text digits = UpperCase(Hex(number, 4));
    digits.erase(0, std::min(digits.find_first_not_of(L'0'), digits.size() - 1));
    return ulBuildFileName(folder, StagedFileName(prefix, digits));
}

// True when the name is taken, so that the next number may be tried; any other failure would
// befall every number alike.
bool IsTaken(DWORD error, TextView name) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return true;
    // A folder of that name, or a file on its way out, refuses access instead.
    return error == ERROR_ACCESS_DENIED &&
           GetFileAttributesW(win32::CallName(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

Text ulRegisterAppPath() { return win32::ProgramFilePath(); }

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
    Text path;
    const Status found = win32::Grown(
        [](wchar_t* buffer, std::size_t size) {
            return GetSystemDirectoryW(buffer, static_cast<UINT>(size));
        },
        path);
    if (found.Failed()) RaiseSystemError("cannot get the system folder", found.Code());
    return path;
}

Text ulGetTempFileName2(TextView directory, TextView prefix) {
    Text folder(directory);
    const auto tempPath = [](wchar_t* buffer, std::size_t size) {
        return GetTempPathW(static_cast<DWORD>(size), buffer);
    };
    if (folder.empty() && win32::Grown(tempPath, folder).Failed()) return Text();
    win32::OwnedHandle file;
    DWORD error = 0;
    const auto create = [](const Text& name, win32::OwnedHandle& made) -> DWORD {
        made.Reset(CreateFileW(win32::CallName(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        return made.Valid() ? 0 : GetLastError();
    };
    return win32::CreateNumberedFile(folder, prefix, create, file, error);
}

namespace win32 {

Text CreateNumberedFile(TextView folder, TextView prefix, const NumberedCreation& create,
                        OwnedHandle& file, DWORD& error) {
    error = 0;
    constexpr unsigned kNumbers = 0x10000;
    const unsigned start = GetTickCount();
    for (unsigned step = 0; step < kNumbers; ++step) {
        const unsigned number = (start + step) % kNumbers;
        if (number == 0) continue;
        Text name = TemporaryName(folder, prefix, number);
        const DWORD refused = create(name, file);
        if (refused == 0) return name;
        if (!IsTaken(refused, name)) {
            error = refused;
            return Text();
        }
    }
    error = ERROR_FILE_EXISTS;
    return Text();
}

}  // namespace win32

void InitCommonControls() { ::InitCommonControls(); }

bool backend::IsSeparator(NativeChar c) { return c == L'\\' || c == L'/'; }

}  // namespace pinfile
