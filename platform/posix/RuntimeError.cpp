#include "../RuntimeError.h"

#include <cstring>

namespace pinfile {

void RaiseSystemError(const std::string& what, int code) {
    throw RuntimeError(what + ": " + std::strerror(code) + " (" + std::to_string(code) + ")");
}

}  // namespace pinfile
