// Test helper: holds a file open without sharing, as a running program holds its libraries,
// until its standard input closes. Prints "ready" once the file is held.
//   hold_open FILE         holds the file open without sharing;
//   hold_open --map FILE   maps the file and keeps only the mapping, which shares everything,
//                          as the system keeps a loaded library;
//   hold_open --mutex NAME holds the named mutex, as another run of pinfile would;
//   hold_open --event NAME holds an event of that name, which takes the name from any mutex.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>

namespace {

void WaitForStandardInputToClose() {
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) &&
           read > 0) {
    }
}

int HoldObject(const wchar_t* kind, const wchar_t* name) {
    const bool event = std::wcscmp(kind, L"--event") == 0;
    HANDLE object =
        event ? CreateEventW(nullptr, TRUE, FALSE, name) : CreateMutexW(nullptr, TRUE, name);
    if (object == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "hold_open: cannot hold the object: error %lu\n", GetLastError());
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    WaitForStandardInputToClose();
    return 0;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments != nullptr && count == 3 &&
        (std::wcscmp(arguments[1], L"--mutex") == 0 ||
         std::wcscmp(arguments[1], L"--event") == 0)) {
        return HoldObject(arguments[1], arguments[2]);
    }
    const bool map = arguments != nullptr && count == 3 && std::wcscmp(arguments[1], L"--map") == 0;
    if (arguments == nullptr || count != (map ? 3 : 2)) {
        std::fputs("usage: hold_open [--map] FILE\n", stderr);
        return 2;
    }
    const DWORD share = map ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
    HANDLE file = CreateFileW(arguments[count - 1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_open: cannot open the file: error %lu\n", GetLastError());
        return 1;
    }
    if (map) {
        HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping == nullptr || MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) == nullptr) {
            std::fprintf(stderr, "hold_open: cannot map the file: error %lu\n", GetLastError());
            return 1;
        }
        CloseHandle(file);  // the view keeps the file
        file = INVALID_HANDLE_VALUE;
    }
    std::puts("ready");
    std::fflush(stdout);
    WaitForStandardInputToClose();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 0;
}
