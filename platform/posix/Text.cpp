#include "../Text.h"
#include "../Backend.h"

namespace pinfile {

namespace {

// The length of the valid UTF-8 sequence at the start of bytes, or 0: no overlong forms, no
// surrogates, nothing beyond U+10FFFF.
std::size_t Utf8SequenceLength(TextView bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    }
    if (length == 0 || bytes.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xbf)) return 0;
    }
    return length;
}

// C1 controls (U+0080 to U+009F) steer terminals as the C0 ones do.
bool IsC1Control(TextView sequence) {
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xc2 &&
           static_cast<unsigned char>(sequence[1]) < 0xa0;
}

}  // namespace

std::size_t backend::CharacterLength(TextView text) {
    return static_cast<unsigned char>(text[0]) < 0x80 ? 1 : Utf8SequenceLength(text);
}

std::size_t backend::ShowableLength(TextView name) {
    const auto byte = static_cast<unsigned char>(name[0]);
    if (byte < 0x20 || byte == 0x7f) return 0;
    const std::size_t length = CharacterLength(name);
    return length == 0 || IsC1Control(name.substr(0, length)) ? 0 : length;
}

Text FromUtf8(std::u8string_view utf8) { return Text(utf8.begin(), utf8.end()); }

std::string ToUtf8(TextView text) { return std::string(text); }

Text UpperCase(TextView text) {
    Text upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

}  // namespace pinfile
