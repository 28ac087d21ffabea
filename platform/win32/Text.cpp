#include "Win32.h"

namespace pinfile {

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

}  // namespace pinfile
