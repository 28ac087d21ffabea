// Test helper: holds a file open without sharing, as a running program holds its libraries,
// until its standard input closes. Prints "ready" once the file is held.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count != 2) {
        std::fputs("usage: hold_open FILE\n", stderr);
        return 2;
    }
    HANDLE file = CreateFileW(arguments[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_open: cannot open the file: error %lu\n", GetLastError());
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) &&
           read > 0) {
    }
    CloseHandle(file);
    return 0;
}
