// Test helper for the system's restart list, as any installer or administrator would use it:
//   queue_move FROM [TO]         queues the deletion of FROM, or its move to TO, at restart;
//   queue_move --replace FROM TO queues FROM to replace TO at restart;
//   queue_move --read VALUE      prints the raw bytes of that Session Manager value in hex,
//                                or "absent";
//   queue_move --write VALUE [HEX]  writes those raw bytes as REG_MULTI_SZ, or deletes the
//                                value when no bytes are given;
//   queue_move --short NAME      prints the 8.3 form of the name;
//   queue_move --detached COMMAND  runs the command line as a detached process, with no
//                                console and no standard handles, and prints its exit code.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

const wchar_t* const kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

int Fail(const char* what, unsigned long code) {
    std::fprintf(stderr, "queue_move: %s: error %lu\n", what, code);
    return 1;
}

int Queue(const wchar_t* from, const wchar_t* to, DWORD flags = 0) {
    if (!MoveFileExW(from, to, MOVEFILE_DELAY_UNTIL_REBOOT | flags)) {
        return Fail("move", GetLastError());
    }
    return 0;
}

// RegQueryValueExW, unlike RegGetValueW, hands the bytes over exactly as they are stored.
int ReadValue(const wchar_t* value) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) return Fail("open", static_cast<unsigned long>(status));
    std::vector<BYTE> data(1 << 16);
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    status = RegQueryValueExW(key, value, nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) {
        std::puts("absent");
        return 0;
    }
    if (status != ERROR_SUCCESS) return Fail("read", static_cast<unsigned long>(status));
    if (type != REG_MULTI_SZ) return Fail("not REG_MULTI_SZ", type);
    for (DWORD i = 0; i < size; ++i) std::printf("%02x", data[i]);
    std::puts("");
    return 0;
}

int WriteValue(const wchar_t* value, const wchar_t* hex) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) return Fail("open", static_cast<unsigned long>(status));
    if (hex == nullptr) {
        status = RegDeleteValueW(key, value);
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    } else {
        std::vector<BYTE> data;
        for (std::size_t i = 0; hex[i] != L'\0' && hex[i + 1] != L'\0'; i += 2) {
            const wchar_t pair[3] = {hex[i], hex[i + 1], L'\0'};
            data.push_back(static_cast<BYTE>(std::wcstoul(pair, nullptr, 16)));
        }
        status = RegSetValueExW(key, value, 0, REG_MULTI_SZ, data.data(),
                                static_cast<DWORD>(data.size()));
    }
    RegFlushKey(key);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : Fail("write", static_cast<unsigned long>(status));
}

int PrintShortName(const wchar_t* name) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetShortPathNameW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) return Fail("short name", GetLastError());
    std::wprintf(L"%ls\n", buffer.data());
    return 0;
}

int RunDetached(const wchar_t* line) {
    std::vector<wchar_t> command(line, line + std::wcslen(line) + 1);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &process)) {
        return Fail("start", GetLastError());
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("%lu\n", code);
    return 0;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments != nullptr && count == 3 && std::wcscmp(arguments[1], L"--read") == 0) {
        return ReadValue(arguments[2]);
    }
    if (arguments != nullptr && count == 3 && std::wcscmp(arguments[1], L"--detached") == 0) {
        return RunDetached(arguments[2]);
    }
    if (arguments != nullptr && count == 3 && std::wcscmp(arguments[1], L"--short") == 0) {
        return PrintShortName(arguments[2]);
    }
    if (arguments != nullptr && count == 4 && std::wcscmp(arguments[1], L"--replace") == 0) {
        return Queue(arguments[2], arguments[3], MOVEFILE_REPLACE_EXISTING);
    }
    if (arguments != nullptr && (count == 3 || count == 4) &&
        std::wcscmp(arguments[1], L"--write") == 0) {
        return WriteValue(arguments[2], count == 4 ? arguments[3] : nullptr);
    }
    if (arguments == nullptr || count < 2 || count > 3) {
        std::fputs("usage: queue_move FROM [TO] | --read VALUE | --write VALUE [HEX]\n", stderr);
        return 2;
    }
    return Queue(arguments[1], count == 3 ? arguments[2] : nullptr);
}
