// What a platform call reports: success, or the system's code for why it failed, with what a
// caller must know of the failure beyond its code. The code travels in the value, so that no
// caller has to fetch it from errno or GetLastError afterwards, where any call in between
// could have changed it.
#pragma once

#include "Text.h"

namespace pinfile {

class [[nodiscard]] Status {
  public:
    // What a failure means for the operation besides its code.
    enum class Note : unsigned char {
        None,
        // Another process holds the file right now: the same operation can be carried out at
        // the next restart.
        InUseNow,
        // A scheduling call failed, but the operation could not be taken out of the system's
        // list again, so the restart may still carry it out (with the code as the reason).
        MayStillBeQueued,
        // Another run held the run lock all the while: no system refused anything.
        OtherRunBusy,
    };

    constexpr Status() = default;  // success
    constexpr explicit Status(ErrorCode code, Note note = Note::None)
        : code_(code), note_(code == 0 ? Note::None : note) {}

    constexpr bool Succeeded() const { return code_ == 0; }
    constexpr bool Failed() const { return code_ != 0; }
    constexpr ErrorCode Code() const { return code_; }

    constexpr bool InUseNow() const { return note_ == Note::InUseNow; }
    constexpr bool MayStillBeQueued() const { return note_ == Note::MayStillBeQueued; }
    constexpr bool OtherRunBusy() const { return note_ == Note::OtherRunBusy; }

    // Where failing is allowed: the step is worth trying, and nothing depends on it.
    constexpr void Ignore() const {}

    constexpr bool operator==(const Status&) const = default;

  private:
    ErrorCode code_ = 0;
    Note note_ = Note::None;
};

}  // namespace pinfile
