// The run lock on Windows: a mutex in the global namespace that only SYSTEM and Administrators
// may use.
#include "../RunLock.h"

#include "StagedFile.h"
#include "Win32.h"

// After windows.h, which it needs.
#include <sddl.h>

namespace pinfile {

namespace {

using win32::LastError;

constexpr DWORD kMillisecondsPerSecond = 1000;

// SYSTEM and Administrators may use the run lock; nobody else may take or hold it.
constexpr const wchar_t* kRunLockSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// Opens the machine-wide lock that keeps runs apart; fails when it cannot be had, for example
// when it exists but this user may not use it, or another kind of object took its name.
Status OpenRunLock(win32::OwnedHandle& lock) {
    // Only SYSTEM and Administrators may take it, so that no other user can hold every run.
    win32::LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kRunLockSecurity, SDDL_REVISION_1,
                                                              descriptor.Receive(), nullptr)) {
        return LastError();
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
    // The global namespace reaches the runs of every session.
    lock.Reset(CreateMutexW(&security, FALSE, L"Global\\pinfile-run"));
    if (lock.Valid()) return {};
    // Any refusal but access denied means that the name cannot be the lock, for example
    // another kind of object holds it: runs would no longer keep each other apart.
    if (GetLastError() != ERROR_ACCESS_DENIED) return LastError();
    // Either the mutex exists and this user may not use it (another user made it), or this
    // user may not create global objects at all.
    lock.Reset(OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\pinfile-run"));
    if (lock.Valid()) return {};
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return Status(ERROR_ACCESS_DENIED);
    // Where the global namespace is refused, the session's own keeps this user's runs apart.
    lock.Reset(CreateMutexW(&security, FALSE, L"pinfile-run"));
    return lock.Valid() ? Status() : LastError();
}

}  // namespace

Status WaitForOtherRuns(const std::function<void()>& waiting, WhenBusy whenBusy) {
    // The handle stays open, and the lock held, until the process ends.
    static win32::OwnedHandle held;
    if (held.Valid()) return {};
    win32::OwnedHandle lock;
    if (const Status opened = OpenRunLock(lock); opened.Failed()) return opened;
    // Each value of the list is written whole, so a run that died holding the lock left it
    // readable: WAIT_ABANDONED counts as taken.
    DWORD waited = WaitForSingleObject(lock.Get(), 0);
    if (waited == WAIT_TIMEOUT && whenBusy == WhenBusy::Wait) {
        waiting();
        waited = WaitForSingleObject(lock.Get(),
                                     static_cast<DWORD>(RunWaitSeconds()) * kMillisecondsPerSecond);
    }
    if (waited == WAIT_TIMEOUT) return Status(WAIT_TIMEOUT, Status::Note::OtherRunBusy);
    if (waited == WAIT_FAILED) return win32::LastError();
    held.Reset(lock.Release());
    // No other run is at work now, so whatever a staging record still names was left by a run
    // that ended early.
    win32::SweepStagingLeftovers();
    return {};
}

}  // namespace pinfile
