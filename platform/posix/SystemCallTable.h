// The system calls that the journal, the boot runner, the durable helpers and the sweep make,
// in one table of function pointers that holds the real calls. A unit test puts a failing
// call in one entry for a while (SwappedCall) and checks what the code leaves on disk when the
// kernel answers with an error there, which no test of the whole program can arrange.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <utility>

namespace pinfile::posix {

// The mode of an open or openat that creates nothing: the table's open and openat take the
// mode always, as a pointer cannot stand for a variadic call.
inline constexpr mode_t kNoMode = 0;

struct SystemCalls {
    int (*open)(const char* path, int flags, mode_t mode) =
        [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); };
    int (*openat)(int folder, const char* name, int flags,
                  mode_t mode) = [](int folder, const char* name, int flags, mode_t mode) {
        return ::openat(folder, name, flags, mode);
    };
    int (*dup)(int fd) = ::dup;
    ssize_t (*pread)(int fd, void* buffer, std::size_t size, off_t offset) = ::pread;
    ssize_t (*pwrite)(int fd, const void* buffer, std::size_t size, off_t offset) = ::pwrite;
    int (*fsync)(int fd) = ::fsync;
    int (*ftruncate)(int fd, off_t size) = ::ftruncate;
    int (*fstat)(int fd, struct stat* info) = ::fstat;
    int (*fstatat)(int folder, const char* name, struct stat* info, int flags) = ::fstatat;
    int (*lstat)(const char* path, struct stat* info) = ::lstat;
    int (*mkdir)(const char* path, mode_t mode) = ::mkdir;
    int (*rename)(const char* from, const char* to) = ::rename;
    int (*renameat)(int fromFolder, const char* from, int toFolder, const char* to) = ::renameat;
    int (*linkat)(int fromFolder, const char* from, int toFolder, const char* to,
                  int flags) = ::linkat;
    int (*unlinkat)(int folder, const char* name, int flags) = ::unlinkat;
    int (*flock)(int fd, int operation) = ::flock;
    ssize_t (*fgetxattr)(int fd, const char* name, void* value, std::size_t size) = ::fgetxattr;
    int (*fsetxattr)(int fd, const char* name, const void* value, std::size_t size,
                     int flags) = ::fsetxattr;
    int (*fremovexattr)(int fd, const char* name) = ::fremovexattr;
    ssize_t (*getrandom)(void* buffer, std::size_t size, unsigned int flags) = ::getrandom;
};

// The table that the code calls through.
inline SystemCalls& System() {
    static SystemCalls calls;
    return calls;
}

// Puts another function in one entry of the table for as long as it lives; the entry gets
// back what it held when it goes.
template <typename Call>
class SwappedCall {
  public:
    SwappedCall(Call& entry, Call replacement)
        : entry_(entry), held_(std::exchange(entry, replacement)) {}
    SwappedCall(const SwappedCall&) = delete;
    SwappedCall& operator=(const SwappedCall&) = delete;
    ~SwappedCall() { entry_ = held_; }

  private:
    Call& entry_;
    Call held_;
};

}  // namespace pinfile::posix
