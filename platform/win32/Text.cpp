#include "../Backend.h"
#include "Win32.h"

namespace pinfile {

namespace {

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xd800 && unit <= 0xdbff; }
bool IsLowSurrogate(wchar_t unit) { return unit >= 0xdc00 && unit <= 0xdfff; }

// Control characters, and a surrogate that is not half of a pair, are no text to show.
bool IsUnshowable(wchar_t unit) {
    return unit < 0x20 || (unit >= 0x7f && unit < 0xa0) || IsHighSurrogate(unit) ||
           IsLowSurrogate(unit);
}

}  // namespace

std::size_t backend::ShowableLength(TextView name) {
    const wchar_t unit = name[0];
    if (IsHighSurrogate(unit) && name.size() > 1 && IsLowSurrogate(name[1])) return 2;
    return IsUnshowable(unit) ? 0 : 1;
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

bool HoldsCyrillic(UINT codePage) {
    if (codePage == CP_UTF8) return true;
    BOOL lost = FALSE;
    constexpr wchar_t kProbe[] =
        L"АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдеёжзийклмнопрстуфхцчшщъыьэюя";
    const int size =
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, kProbe, -1, nullptr, 0, nullptr, &lost);
    return size > 0 && lost == FALSE;
}

}  // namespace win32

}  // namespace pinfile
