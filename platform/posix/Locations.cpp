#include "Locations.h"

#include <cstdlib>

namespace pinfile::posix {

namespace {

std::string Rooted(const char* path) {
    const char* root = std::getenv("PINFILE_TEST_ROOT");
    return (root != nullptr && *root != '\0') ? std::string(root) + path : std::string(path);
}

}  // namespace

std::string SystemFolder() { return Rooted("/usr/local/lib"); }

std::string JournalFolder() { return Rooted("/var/lib/pinfile"); }

std::string JournalPath() { return JournalFolder() + "/pending"; }

std::string JournalIdPath() { return JournalFolder() + "/id"; }

std::string RunFolder() { return Rooted("/run"); }

}  // namespace pinfile::posix
