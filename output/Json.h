// The one JSON writer of the documents that pinfile-pending prints for programs (the list, the
// holders): every document is one line of native text, its fields in the order they are
// added, and a file name of any bytes stays valid JSON without losing a unit.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Text.h"

namespace pinfile::json {

// A JSON string of a fixed ASCII word (a field's name, a kind, a state), which needs no escape.
Text Word(std::string_view ascii);

// Text as a JSON string: quotes, backslashes and control characters escaped.
Text String(TextView text);

Text Number(std::int64_t value);
Text Boolean(bool value);
Text Null();

// A file name where it stands alone (in an array): the name itself when it is valid text,
// otherwise its escaped form as the lines show it.
Text Name(TextView name);

// The items converted one by one, in their order.
template <typename Items, typename Convert>
Text Array(const Items& items, Convert convert) {
    Text json(1, NativeChar('['));
    for (const auto& item : items) {
        if (json.size() > 1) json.push_back(NativeChar(','));
        json += convert(item);
    }
    json.push_back(NativeChar(']'));
    return json;
}

// An object, its fields added in the order they are to appear.
class Object {
  public:
    Object& Field(std::string_view key, const Text& value);

    // A file name: the name itself when it is valid text; otherwise its escaped form, with the
    // raw units in hex beside it under the key followed by "_raw".
    Object& NameField(std::string_view key, TextView name);

    // The object, braces and all.
    Text Close() const;

  private:
    Text fields_;
};

}  // namespace pinfile::json
