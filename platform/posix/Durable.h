// What the POSIX backend holds open, and the few ways it makes a change survive a power loss.
// Each idiom lives here once: a change that reaches the disk by another road is a change that
// a crash may undo after pinfile has said it was made.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "SystemCall.h"

namespace pinfile::posix {

// Closes a descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Descriptor() { reset(-1); }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    // Gives up ownership: the caller closes the descriptor.
    int release() { return std::exchange(fd_, -1); }
    bool valid() const { return fd_ >= 0; }

  private:
    int fd_;
};

// Writes all the bytes at the offset.
Status WriteAllAt(int fd, std::string_view bytes, off_t offset);

// Opens a folder by name for the *at calls and for flushing.
Status OpenFolder(const std::string& folder, Descriptor& opened);

// True while the name in the folder leads to the open file itself (not a link to it): the
// check before a file that pinfile made is removed by its name, which another user who may
// write the folder could have given to a file of their own meanwhile.
bool NameLeadsTo(int folder, const std::string& name, int file);

// Flushes a folder, so that a name made, renamed or removed in it is on disk.
Status SyncFolder(int folder);
Status SyncFolder(const std::string& folder);

// Removes the name from the folder and flushes the folder: once this succeeds, no crash brings
// the name back. removed tells whether the name went (a failure after it, in the folder's
// flush, leaves it gone).
Status RemoveDurably(int folder, const std::string& name, bool* removed = nullptr);

// The same for a full name, through the folder that holds it.
Status RemoveDurably(const std::string& path);

// Makes the folder unless it exists. A new folder's name is flushed into its parent, or a
// crash could lose the folder together with what is put in it afterwards.
Status CreateFolderDurably(const std::string& folder, mode_t mode);

// Puts a new file in place of a name in the folder: fill writes the new file (open as file,
// named fresh in the folder), which is then flushed, renamed over the name, and the folder
// flushed. A crash leaves the old file or the new one whole. On a failure before the rename
// the new file goes and the name keeps what it held; placed tells whether the rename was made
// (a failure after it, in the folder's flush, leaves the new file under the name).
Status ReplaceDurably(int folder, const std::string& fresh, int file, const std::string& name,
                      const std::function<Status(int)>& fill, bool* placed = nullptr);

}  // namespace pinfile::posix
