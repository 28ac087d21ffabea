// The line that both programs write for a system error code.
#pragma once

#include "platform/Text.h"

namespace pinfile {

// "Ошибка ", the code in plain decimal, ": ", the platform's description of the code.
Text ErrorLine(ErrorCode code);

}  // namespace pinfile
