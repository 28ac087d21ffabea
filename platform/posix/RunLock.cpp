// The run lock on POSIX: an flock on root's own file in the run folder.
#include "../RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "Durable.h"
#include "Locations.h"
#include "SystemCall.h"

namespace pinfile {

namespace {

using posix::Descriptor;

// The lock is root's own file in the run folder. One that root did not make for itself (a
// folder, a link, a file of another user, or one that others may open and so hold) cannot
// keep runs apart, and is refused.
Status OpenRunLock(Descriptor& lock) {
    const std::string folder = posix::RunFolder();
    mkdir(folder.c_str(), 0755);
    lock.reset(
        open((folder + "/pinfile.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock.valid()) return posix::LastError();
    struct stat info {};
    if (fstat(lock.get(), &info) != 0) return posix::LastError();
    if (!S_ISREG(info.st_mode)) return Status(EISDIR);
    const bool othersMayOpen = (info.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    return info.st_uid == 0 && !othersMayOpen ? Status() : Status(EACCES);
}

// Another run holds the lock.
Status Busy() { return Status(EWOULDBLOCK, Status::Note::OtherRunBusy); }

// Tries the lock once: taken, held by another run (EWOULDBLOCK), or the system's error.
Status TryRunLock(int lock) {
    return posix::Checked(posix::RetryOnInterrupt([&] { return flock(lock, LOCK_EX | LOCK_NB); }));
}

}  // namespace

// Only root may take the lock; a run of another user, which cannot edit the queue either, goes
// on without it when it cannot open it.
Status WaitForOtherRuns(const std::function<void()>& waiting, WhenBusy whenBusy) {
    // Kept open, and the lock held, until the process ends.
    static Descriptor held;
    if (held.valid()) return {};
    Descriptor lock;
    if (const Status opened = OpenRunLock(lock); opened.Failed()) {
        if (geteuid() != 0) return {};
        return opened;
    }
    Status tried = TryRunLock(lock.get());
    if (tried.Code() == EWOULDBLOCK) {
        if (whenBusy == WhenBusy::DoNotWait) return Busy();
        waiting();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(RunWaitSeconds());
        while (tried.Code() == EWOULDBLOCK) {
            if (std::chrono::steady_clock::now() >= deadline) return Busy();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            tried = TryRunLock(lock.get());
        }
    }
    // Any other failure is no other run: waiting would not end it.
    if (tried.Failed()) return tried;
    held = std::move(lock);
    return {};
}

}  // namespace pinfile
