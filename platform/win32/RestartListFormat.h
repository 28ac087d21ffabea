// The system's list of operations for the next restart as the boot reads it: pure code on
// the list's strings, with no system call, so that it also builds natively for its fuzz
// target (tests/fuzz).
#pragma once

#include <cstddef>
#include <vector>

#include "../PendingQueue.h"
#include "../Text.h"

namespace pinfile::win32 {

// A name without the prefix of the internal form ("\??\"), of the long form ("\\?\") or of
// the device form ("\\.\") when a drive's path or a share follows it; "UNC\" after the
// prefix stands for "\\". Any other name comes back as it is.
Text PlainName(TextView name);

// One value of the list (PendingFileRenameOperations or ...2) as its strings. Every NUL ends
// a string, so the NUL that closes the list reads as a last empty string.
std::vector<Text> SplitListStrings(const std::vector<wchar_t>& data);

// Where the value's pairs end: at the empty source that closes the list, or at the end.
std::size_t ListOperationsEnd(const std::vector<Text>& strings);

// One pair of the list as the boot reads it. An empty target deletes the source; a target
// marked "!" is replaced, any other is moved to. A name in a form the boot would not find is
// kept raw as NotUnderstood.
PendingOperation OperationOfPair(const Text& source, const Text& target);

}  // namespace pinfile::win32
