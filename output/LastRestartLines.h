// The text list's account of the last restart: one line for each operation of pinfile's that
// it did not carry out.
#pragma once

#include <vector>

#include "platform/LastRestart.h"
#include "platform/Text.h"

namespace pinfile {

// No lines when the restart carried out everything (or nothing of pinfile's waited for it).
std::vector<Text> NotCarriedOutLines(const LastRestart& lastRestart);

}  // namespace pinfile
