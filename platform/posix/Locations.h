// Where the POSIX build keeps what the Windows build finds in the system: the folder for
// shared libraries and the restart queue.
//
// Test-only seam: when the environment variable PINFILE_TEST_ROOT is set, these places move
// under that folder (ROOT/usr/local/lib, ROOT/var/lib/pinfile/pending and ROOT/run), so that
// tests never touch the machine's own. The only other variable read is PINFILE_TEST_RUN_WAIT
// (RunWaitSeconds, the wait for another run).
#pragma once

#include <string>

namespace pinfile::posix {

std::string SystemFolder();
std::string JournalFolder();
std::string JournalPath();
// The journal's identity, which marks pinfile's own files (see JournalFile.h).
std::string JournalIdPath();

// The folder for this boot's state: the run lock, and the "reboot required" flag that
// unattended upgrades, login banners and fleet tools read.
std::string RunFolder();

}  // namespace pinfile::posix
