// The program's front end: start-up, the host check, dispatch and the usage text.
#pragma once

#include "common/Outcome.h"

namespace pinfile {

// Runs the program once, from preparing the process to the closing step.
Outcome Main();

// Writes the usage text.
Outcome ShowUsage();

}  // namespace pinfile
