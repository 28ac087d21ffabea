#include <unistd.h>
#include <cstdlib>  // mkstemp

#include <climits>  // PATH_MAX
#include <cstring>
#include <vector>

#include "../Backend.h"
#include "../Console.h"
#include "../UtilityLibrary.h"
#include "Locations.h"

namespace pinfile {

Text ulRegisterAppPath() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    return n > 0 ? Text(path, static_cast<std::size_t>(n)) : Text();
}

bool ulIsInIDE() { return false; }

WindowHandle ulGetThunderMainHandle() { return 0; }

void ulSetWindowResIconAll(WindowHandle /*window*/, TextView /*resourceName*/) {}

bool ulIsHostWin9x() { return false; }

Text ulGetAPIErrorDescription(ErrorCode code) { return std::strerror(code); }

Text ulGetSystemPath() { return posix::SystemFolder(); }

// Unlike /tmp, /var/tmp survives a restart, so a staged file is still there when it is due.
Text ulGetTempFileName2(TextView directory, TextView prefix) {
    const Text folder = directory.empty() ? Text("/var/tmp") : Text(directory);
    Text pattern = ulBuildFileName(folder, Text(prefix) + "XXXXXX");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());  // O_EXCL, mode 0600
    if (fd < 0) return Text();
    close(fd);
    return Text(buffer.data());
}

void InitCommonControls() {}

bool backend::IsSeparator(NativeChar c) { return c == '/'; }

}  // namespace pinfile
