#include "../Holders.h"

#include <vector>

#include "../HolderRules.h"
#include "../PendingQueue.h"
#include "Win32.h"

// After <windows.h>, whose types it uses.
#include <restartmanager.h>

namespace pinfile {

namespace {

// The Restart Manager's calls. Its library ships with Windows (Vista and later) but is no
// known DLL, so it is loaded from the system folder by its full path: an import would let a
// file of the same name beside the program be loaded instead.
struct RestartManager {
    decltype(&RmStartSession) startSession = nullptr;
    decltype(&RmRegisterResources) registerResources = nullptr;
    decltype(&RmGetList) getList = nullptr;
    decltype(&RmEndSession) endSession = nullptr;

    bool Loaded() const {
        return startSession != nullptr && registerResources != nullptr && getList != nullptr &&
               endSession != nullptr;
    }
};

template <typename Function>
void Resolve(HMODULE library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// Loaded once, and kept until the process ends.
const RestartManager& TheRestartManager() {
    static const RestartManager manager = [] {
        RestartManager loaded;
        Text folder;
        if (win32::Grown(
                [](wchar_t* buffer, std::size_t size) {
                    return GetSystemDirectoryW(buffer, static_cast<UINT>(size));
                },
                folder)
                .Failed()) {
            return loaded;
        }
        const HMODULE library = LoadLibraryW((folder + L"\\rstrtmgr.dll").c_str());
        if (library == nullptr) return loaded;
        Resolve(library, "RmStartSession", loaded.startSession);
        Resolve(library, "RmRegisterResources", loaded.registerResources);
        Resolve(library, "RmGetList", loaded.getList);
        Resolve(library, "RmEndSession", loaded.endSession);
        return loaded;
    }();
    return manager;
}

// Whether another process may hold the file: it cannot be opened for writing, sharing
// everything. That also answers so for a file that this user may not write, which only makes
// an empty answer of the manager count as none.
bool MayBeHeld(const Text& file) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win32::OwnedHandle opened(CreateFileW(win32::CallName(file).c_str(), GENERIC_WRITE, share,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
    if (opened.Valid()) return false;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// The session's list, in a buffer grown as the manager asks (processes may start meanwhile).
DWORD ListUsers(const RestartManager& manager, DWORD session, holders::ManagerAnswer& answer) {
    std::vector<RM_PROCESS_INFO> found(8);
    for (int attempt = 0; attempt < 5; ++attempt) {
        UINT needed = 0;
        auto count = static_cast<UINT>(found.size());
        DWORD reasons = RmRebootReasonNone;  // a manager may leave it unwritten
        const DWORD error = manager.getList(session, &needed, &count, found.data(), &reasons);
        if (error == ERROR_MORE_DATA) {
            found.resize(needed + 8);
            continue;
        }
        if (error != ERROR_SUCCESS) return error;
        answer.rebootReasons = reasons;
        for (UINT i = 0; i < count && i < found.size(); ++i) {
            const RM_PROCESS_INFO& process = found[i];
            answer.processes.push_back({static_cast<std::int64_t>(process.Process.dwProcessId),
                                        process.strAppName, process.strServiceShortName,
                                        static_cast<std::uint32_t>(process.ApplicationType)});
        }
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

// One session for each file, so that each user is told with the file it uses.
holders::ManagerAnswer Ask(const Text& file) {
    holders::ManagerAnswer answer;
    answer.fileMayBeHeld = MayBeHeld(file);
    const RestartManager& manager = TheRestartManager();
    if (!manager.Loaded()) {
        answer.error = ERROR_PROC_NOT_FOUND;
        return answer;
    }
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    DWORD error = manager.startSession(&session, 0, key);
    if (error == ERROR_SUCCESS) {
        LPCWSTR names[] = {file.c_str()};
        error = manager.registerResources(session, 1, names, 0, nullptr, 0, nullptr);
        if (error == ERROR_SUCCESS) error = ListUsers(manager, session, answer);
        manager.endSession(session);
    }
    answer.error = static_cast<ErrorCode>(error);
    return answer;
}

}  // namespace

HolderReport FindHolders(const std::vector<Text>& names) {
    HolderReport report;
    std::vector<Text> files;
    files.reserve(names.size());
    for (const Text& name : names) files.push_back(win32::LongFullName(name));
    if (names.empty()) {
        const PendingList queue = ReadPendingOperations();
        if (queue.status.Failed()) report.complete = false;
        for (const PendingOperation& operation : queue.operations) {
            if (!operation.byPinfile) continue;
            if (operation.kind == PendingOperation::Kind::Delete) files.push_back(operation.source);
            // The list marks only pinfile's own replacements and deletions.
            if (operation.kind == PendingOperation::Kind::Replace)
                files.push_back(operation.target);
        }
    }
    for (const Text& file : files)
        holders::Merge(report, holders::FromRestartManager(file, Ask(file)));
    return report;
}

}  // namespace pinfile
