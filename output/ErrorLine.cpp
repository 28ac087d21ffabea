#include "output/ErrorLine.h"

#include "platform/UtilityLibrary.h"

namespace pinfile {

Text ErrorLine(ErrorCode code) {
    const Text description = ulGetAPIErrorDescription(code);
    return FromUtf8(u8"Ошибка ") + ToDecimal(code) + FromUtf8(u8": ") + description;
}

}  // namespace pinfile
