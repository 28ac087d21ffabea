// A failure status from a platform component or the utility library. Nothing in the program
// catches it but the entry point, which reports it and ends the run.
#pragma once

#include <stdexcept>
#include <string>

namespace pinfile {

class RuntimeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Raises the run-time error for a failed system call; the message names what failed and
// carries the platform's description of the code.
[[noreturn]] void RaiseSystemError(const std::string& what, int code);

}  // namespace pinfile
