#include "common/QueueWording.h"

namespace pinfile {

namespace {

Text Words(const char8_t* text) { return FromUtf8(text); }

}  // namespace

Text QuotedName(TextView name) { return Words(u8"\"") + EscapedName(name) + Words(u8"\""); }

Text DescribeOperation(const PendingOperation& operation) {
    switch (operation.kind) {
        case PendingOperation::Kind::Replace:
            return Words(u8"Заменить ") + QuotedName(operation.target) + Words(u8" файлом ") +
                   QuotedName(operation.source);
        case PendingOperation::Kind::Move:
            return Words(u8"Переместить ") + QuotedName(operation.source) + Words(u8" в ") +
                   QuotedName(operation.target);
        case PendingOperation::Kind::Delete:
            return Words(u8"Удалить ") + QuotedName(operation.source);
        case PendingOperation::Kind::NotUnderstood:
            return Words(u8"Запись ") + QuotedName(operation.source) + Words(u8" ") +
                   QuotedName(operation.target) + Words(u8" (не распознано)");
        case PendingOperation::Kind::Damaged:
            break;
    }
    return Words(u8"Повреждённая запись: ") + ToDecimal(static_cast<std::int32_t>(operation.size)) +
           Words(u8" байт со смещения ") + ToDecimal(static_cast<std::int32_t>(operation.offset));
}

}  // namespace pinfile
