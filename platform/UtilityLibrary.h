// The utility library: questions about the host, file-name services, temporary names and
// error descriptions, as plain functions. Each either returns its value or raises the
// run-time error.
#pragma once

#include <cstdint>

#include "Text.h"

namespace pinfile {

// A window handle as a plain value; zero when there is no window.
using WindowHandle = std::uintptr_t;

// Returns the program's own path. Registers nothing: writing system settings on every run
// would need administrator rights.
Text ulRegisterAppPath();

// A native console program never runs inside a development host.
bool ulIsInIDE();

// A console program has no hidden runtime window: zero.
WindowHandle ulGetThunderMainHandle();

// Sets the icons of the given window; with no window it does nothing. It never touches the
// console window, which belongs to the user's shell.
void ulSetWindowResIconAll(WindowHandle window, TextView resourceName);

bool ulIsHostWin9x();

// The platform's description of a system error code, without a trailing line break.
Text ulGetAPIErrorDescription(ErrorCode code);

// The folder where shared libraries go by default.
Text ulGetSystemPath();

// The last component of a path.
Text ulGetFileName(TextView path);

// The folder part of a path, without the separator before the last component: the root
// itself for a name in the root, and "." for a name without a folder.
Text FolderOf(TextView path);

// The path of a file name inside a directory, with exactly one separator between them.
Text ulBuildFileName(TextView directory, TextView fileName);

// Creates a new, empty, private file with a unique name beginning with the prefix in the
// directory (in the temporary folder when it is empty) and returns its name; empty when
// none can be had.
Text ulGetTempFileName2(TextView directory, TextView prefix);

// Loads the platform's common controls where there are any.
void InitCommonControls();

}  // namespace pinfile
