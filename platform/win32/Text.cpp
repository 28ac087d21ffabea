#include "../Backend.h"
#include "Win32.h"

namespace pinfile {

namespace {

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xd800 && unit <= 0xdbff; }
bool IsLowSurrogate(wchar_t unit) { return unit >= 0xdc00 && unit <= 0xdfff; }

// C0 and C1 controls and DEL, which steer terminals.
bool IsControl(wchar_t unit) { return unit < 0x20 || (unit >= 0x7f && unit < 0xa0); }

}  // namespace

// A surrogate that is not half of a pair is no text.
std::size_t backend::CharacterLength(TextView text) {
    const wchar_t unit = text[0];
    if (IsHighSurrogate(unit) && text.size() > 1 && IsLowSurrogate(text[1])) return 2;
    return IsHighSurrogate(unit) || IsLowSurrogate(unit) ? 0 : 1;
}

// Control characters are no text to show.
std::size_t backend::ShowableLength(TextView name) {
    return IsControl(name[0]) ? 0 : CharacterLength(name);
}

Text FromUtf8(std::u8string_view utf8) {
    if (utf8.empty()) return Text();
    const auto* bytes = reinterpret_cast<const char*>(utf8.data());
    const int size = static_cast<int>(utf8.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, bytes, size, nullptr, 0);
    Text text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, size, text.data(), length);
    return text;
}

std::string ToUtf8(TextView text) { return win32::Encode(text, CP_UTF8); }

std::string win32::Encode(TextView text, UINT codePage) {
    if (text.empty()) return std::string();
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

Text UpperCase(TextView text) {
    Text upper(text);
    if (!upper.empty()) CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    return upper;
}

namespace win32 {

namespace {

// The text in the code page, or false when the page lacks a character of it (or takes no
// such check, as UTF-7 and some others): no best fit, no default character.
bool EncodeExactly(TextView text, UINT codePage, std::string& bytes) {
    if (codePage == CP_UTF8) {
        bytes = Encode(text, codePage);
        return true;
    }
    bytes.clear();
    if (text.empty()) return true;
    const int size = static_cast<int>(text.size());
    BOOL lost = FALSE;
    const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), size,
                                           nullptr, 0, nullptr, &lost);
    if (length <= 0 || lost != FALSE) return false;
    bytes.resize(static_cast<std::size_t>(length));
    return WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), size, bytes.data(),
                               length, nullptr, &lost) == length &&
           lost == FALSE;
}

}  // namespace

bool HoldsCyrillic(UINT codePage) {
    std::string ignored;
    return EncodeExactly(L"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдеёжзийклмнопрстуфхцчшщъыьэюя",
                         codePage, ignored);
}

std::string EncodeLosslessly(TextView text, UINT codePage) {
    std::string bytes;
    return EncodeExactly(text, codePage, bytes) ? bytes : Encode(text, CP_UTF8);
}

}  // namespace win32

}  // namespace pinfile
