#include "output/Json.h"

#include <string>
#include <type_traits>

namespace pinfile::json {

namespace {

// JSON writes the characters below this one (C0 controls) only as escapes, \u and four hex
// digits.
constexpr unsigned kFirstUnescaped = 0x20;
constexpr int kEscapeDigits = 4;

unsigned UnitValue(NativeChar unit) {
    return static_cast<unsigned>(static_cast<std::make_unsigned_t<NativeChar>>(unit));
}

Text Ascii(std::string_view text) { return Text(text.begin(), text.end()); }

// Each code unit as hex digits of its full width, so that any name reads back exactly.
Text RawUnits(TextView name) {
    Text raw;
    for (const NativeChar unit : name) {
        raw += Hex(UnitValue(unit), static_cast<int>(sizeof(NativeChar) * 2));
    }
    return raw;
}

}  // namespace

Text Word(std::string_view ascii) {
    Text word = Ascii("\"");
    word += Ascii(ascii);
    word.push_back(NativeChar('"'));
    return word;
}

Text String(TextView text) {
    Text out(1, NativeChar('"'));
    for (const NativeChar c : text) {
        if (c == NativeChar('"') || c == NativeChar('\\')) {
            out.push_back(NativeChar('\\'));
            out.push_back(c);
        } else if (UnitValue(c) < kFirstUnescaped) {
            out += Ascii("\\u") + Hex(UnitValue(c), kEscapeDigits);
        } else {
            out.push_back(c);
        }
    }
    out.push_back(NativeChar('"'));
    return out;
}

Text Number(std::int64_t value) { return ToDecimal(value); }

Text Boolean(bool value) { return Ascii(value ? "true" : "false"); }

Text Null() { return Ascii("null"); }

Text Name(TextView name) { return String(IsValidText(name) ? Text(name) : EscapedName(name)); }

Object& Object::Field(std::string_view key, const Text& value) {
    fields_ += (fields_.empty() ? Text() : Ascii(",")) + Word(key) + Ascii(":") + value;
    return *this;
}

Object& Object::NameField(std::string_view key, TextView name) {
    Field(key, Name(name));
    if (!IsValidText(name)) Field(std::string(key) + "_raw", String(RawUnits(name)));
    return *this;
}

Text Object::Close() const { return Ascii("{") + fields_ + Ascii("}"); }

}  // namespace pinfile::json
