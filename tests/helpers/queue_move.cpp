// Test helper: queues one restart-time operation straight through the system, as any
// installer would: "queue_move FROM" deletes FROM at restart, "queue_move FROM TO" moves it.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 2 || count > 3) {
        std::fputs("usage: queue_move FROM [TO]\n", stderr);
        return 2;
    }
    const wchar_t* to = count == 3 ? arguments[2] : nullptr;
    if (!MoveFileExW(arguments[1], to, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        std::fprintf(stderr, "queue_move: error %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
