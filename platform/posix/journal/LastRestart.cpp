// "Until the next restart": the kept outcome carries the kernel's id of the boot in which
// apply ran (/proc/sys/kernel/random/boot_id, new at every boot). A boot in which apply did
// not run, because nothing was queued, has another id, and its outcome is empty.
#include "LastRestart.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "../Durable.h"
#include "../FileCopy.h"
#include "../Locations.h"

namespace pinfile {

namespace {

constexpr const char* kFileName = "last-restart";

// The kept file, when root wrote it and nobody else may have: the same rule as the journal's.
std::string KeptBytes() {
    const std::string path = posix::JournalFolder() + "/" + kFileName;
    const posix::Descriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!file.valid() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 || info.st_nlink != 1) {
        return {};
    }
    std::string bytes;
    // The file holds a few counts and names: a read of one page takes most of it at once.
    constexpr std::size_t kPageBytes = 4096;
    char buffer[kPageBytes];
    for (;;) {
        const ssize_t read =
            posix::RetryOnInterrupt([&] { return ::read(file.get(), buffer, sizeof buffer); });
        if (read <= 0) return read == 0 ? bytes : std::string();
        bytes.append(buffer, static_cast<std::size_t>(read));
    }
}

}  // namespace

LastRestart ReadLastRestart() {
    const std::string bytes = KeptBytes();
    const std::size_t end = bytes.find('\0');
    if (end == std::string::npos || bytes.substr(0, end) != posix::ReadBootId()) return {};
    return DecodeLastRestart(TextView(bytes).substr(end + 1)).value_or(LastRestart());
}

void NoteLastRestart() {}

namespace posix {

void CountApplied(LastRestart& outcome, const AppliedOperation& applied) {
    using Result = AppliedOperation::Result;
    switch (applied.result) {
        case Result::Done:
        case Result::AlreadyDone:
            ++outcome.carriedOut;
            return;
        case Result::Failed:
        case Result::Mismatch:
        case Result::Refused:
            outcome.notCarriedOut.push_back({applied.operation, LastRestart::Why::Failed,
                                             applied.error != 0 ? applied.error : EINVAL});
            return;
        case Result::Skipped:
            return;
    }
}

Status KeepLastRestart(const LastRestart& outcome) {
    Descriptor folder;
    if (const Status opened = OpenFolder(JournalFolder(), folder); opened.Failed()) return opened;
    const std::string bytes = posix::ReadBootId() + '\0' + EncodeLastRestart(outcome);
    const std::string fresh = std::string(kFileName) + ".new";
    Descriptor file(openat(folder.get(), fresh.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) return LastError();
    return ReplaceDurably(folder.get(), fresh, file.get(), kFileName,
                          [&](int written) { return WriteAllAt(written, bytes, 0); });
}

}  // namespace posix

}  // namespace pinfile
