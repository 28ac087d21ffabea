// What a step inside a backend reports: success, or the system's code for why it failed.
// The code travels in the value, so that no caller has to fetch it from errno or
// GetLastError afterwards, where any call in between could have changed it.
#pragma once

#include "Text.h"

namespace pinfile {

class [[nodiscard]] Status {
  public:
    constexpr Status() = default;  // success
    constexpr explicit Status(ErrorCode code) : code_(code) {}

    constexpr bool Succeeded() const { return code_ == 0; }
    constexpr bool Failed() const { return code_ != 0; }
    constexpr ErrorCode Code() const { return code_; }

    // Where failing is allowed: the step is worth trying, and nothing depends on it.
    constexpr void Ignore() const {}

    constexpr bool operator==(const Status&) const = default;

  private:
    ErrorCode code_ = 0;
};

}  // namespace pinfile
