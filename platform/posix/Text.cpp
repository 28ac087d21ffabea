#include "../Text.h"

namespace pinfile {

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
