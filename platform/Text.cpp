#include "Text.h"

#include <string>

namespace pinfile {

Text ToDecimal(std::int32_t value) {
    const std::string digits = std::to_string(value);
    return Text(digits.begin(), digits.end());
}

}  // namespace pinfile
