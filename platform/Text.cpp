#include "Text.h"

#include <string>
#include <string_view>
#include <type_traits>

#include "Backend.h"

namespace pinfile {

namespace {

// A code unit as a C-style escape: \xff for one up to 0xff, \ud800 for a larger one.
void AppendUnitEscape(Text& out, NativeChar unit) {
    const auto value = static_cast<unsigned>(static_cast<std::make_unsigned_t<NativeChar>>(unit));
    out += static_cast<NativeChar>('\\');
    out += static_cast<NativeChar>(value < 0x100 ? 'x' : 'u');
    out += Hex(value, value < 0x100 ? 2 : 4);
}

// The escapes that C gives a name of their own.
const char* NamedEscape(NativeChar unit) {
    switch (unit) {
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default:
            return nullptr;
    }
}

}  // namespace

// By hand rather than through the printf family, whose formatting code (floating point
// included) would make up a tenth of the Windows executable.
Text Hex(unsigned value, int digits) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    Text hex;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        hex.push_back(
            static_cast<NativeChar>(kDigits[(value >> static_cast<unsigned>(shift)) & 15U]));
    }
    return hex;
}

// Where a backslash separates folders (Windows) it never stands in a name, and stays single;
// elsewhere it starts an escape, so it is doubled, and a double quote, which would end the
// quoted name, gets one too.
Text EscapedName(TextView name) {
    const bool backslashEscapes = !backend::IsSeparator(NativeChar('\\'));
    Text out;
    out.reserve(name.size());
    while (!name.empty()) {
        const std::size_t showable = backend::ShowableLength(name);
        if (backslashEscapes && (name[0] == NativeChar('\\') || name[0] == NativeChar('"'))) {
            out += NativeChar('\\');
            out += name[0];
        } else if (const char* named = NamedEscape(name[0]); named != nullptr) {
            out += Text(named, named + 2);
        } else if (showable == 0) {
            AppendUnitEscape(out, name[0]);
        } else {
            out += name.substr(0, showable);
        }
        name.remove_prefix(showable == 0 ? 1 : showable);
    }
    return out;
}

bool IsValidText(TextView text) {
    while (!text.empty()) {
        const std::size_t length = backend::CharacterLength(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

Text ToDecimal(std::int64_t value) {
    const std::string digits = std::to_string(value);
    return Text(digits.begin(), digits.end());
}

}  // namespace pinfile
