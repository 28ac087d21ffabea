// Steps that the POSIX file tasks (FileSystem.cpp) share with the staged file's (StagedFile.cpp).
#pragma once

#include <sys/stat.h>

#include "../Status.h"
#include "../Text.h"
#include "Durable.h"
#include "journal/Record.h"

namespace pinfile::posix {

// The folder of an operation to be queued, proven by its identity as the boot will prove it
// (an overlay's folder copied up first); refused where a reboot empties the file system.
Status QueueableFolder(int folder, FileIdentity& identity);

// Opens the source of a copy: only a regular file is a source, as a FIFO or a device could be
// read forever.
Status OpenSource(TextView source, Descriptor& in, struct stat& info);

// Appends the record to the journal, and says that a restart is due.
Status QueueRecord(const JournalRecord& record);

}  // namespace pinfile::posix
