#include "FileSystem.h"

#include <algorithm>
#include <cwctype>
#include <utility>

namespace pinfile {

StagedFile::StagedFile(Text name, HeldPointer held)
    : name_(std::move(name)), held_(std::move(held)) {}

StagedFile::StagedFile(ErrorCode error) : error_(error) {}

StagedFile::~StagedFile() {
    if (!kept_ && held_) Discard(*held_);
}

namespace {

// What comes before the letters: a dot for a hidden name, and the prefix.
Text LeadOf(TextView prefix, const StagedNameForm& form) {
    return (form.hidden ? FromUtf8(u8".") : Text()) + Text(prefix);
}

}  // namespace

Text StagedFileName(TextView prefix, TextView letters, const StagedNameForm& form) {
    return LeadOf(prefix, form) + Text(letters) + FromUtf8(form.tail);
}

bool IsStagedFileName(TextView name, TextView prefix, const StagedNameForm& form) {
    const Text lead = LeadOf(prefix, form);
    const Text tail = FromUtf8(form.tail);
    const std::size_t fixed = lead.size() + tail.size();
    if (name.size() < fixed + form.fewestLetters || name.size() > fixed + form.mostLetters) {
        return false;
    }
    const TextView letters = name.substr(lead.size(), name.size() - fixed);
    const bool lettersFit =
        !form.hexLetters || std::all_of(letters.begin(), letters.end(), [](auto c) {
            return std::iswxdigit(static_cast<wint_t>(c)) != 0;
        });
    return lettersFit && NamesMatch(name.substr(0, lead.size()), lead) &&
           NamesMatch(name.substr(name.size() - tail.size()), tail);
}

}  // namespace pinfile
