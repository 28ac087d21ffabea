// The program's front end: start-up, the host check, dispatch and the usage text.
#pragma once

#include "common/Outcome.h"
#include "platform/CommandLine.h"

namespace pinfile {

// Runs the program once, from preparing the process to the closing step.
Outcome Main();

// Writes the usage text.
Outcome ShowUsage();

// What a command line asks for, by the dispatch's rules.
struct Request {
    enum class Kind { Help, Usage, Copy, Delete };
    Kind kind = Kind::Usage;
    Text name;    // the source of a copy, the file to delete
    Text target;  // of a copy; empty: into the system folder
};
Request ReadRequest(const ArgumentList& arguments);

}  // namespace pinfile
