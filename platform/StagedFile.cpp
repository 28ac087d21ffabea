#include "StagedFile.h"

#include <algorithm>
#include <utility>

#include "FileSystem.h"

namespace pinfile {

StagedFile::StagedFile(Text name, Text target, HeldPointer held)
    : name_(std::move(name)), target_(std::move(target)), held_(std::move(held)) {}

StagedFile::StagedFile(Status failure) : failure_(failure) {}

StagedFile::~StagedFile() {
    if (!kept_ && held_) Discard(*held_);
}

namespace {

// Only the letters that pinfile's names are made of count: a name with any other character
// in their place is not one that pinfile made.
bool IsAsciiLetterOrDigit(NativeChar c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsAsciiHexDigit(NativeChar c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

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
    const bool lettersFit = std::all_of(letters.begin(), letters.end(), [&](NativeChar c) {
        return form.hexLetters ? IsAsciiHexDigit(c) : IsAsciiLetterOrDigit(c);
    });
    return lettersFit && NamesMatch(name.substr(0, lead.size()), lead) &&
           NamesMatch(name.substr(name.size() - tail.size()), tail);
}

}  // namespace pinfile
