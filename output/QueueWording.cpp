#include "output/QueueWording.h"

namespace pinfile {

Text QuotedName(TextView name) { return FromUtf8(u8"\"") + EscapedName(name) + FromUtf8(u8"\""); }

Text DescribeOperation(const PendingOperation& operation) {
    switch (operation.kind) {
        case PendingOperation::Kind::Replace:
            return FromUtf8(u8"Заменить ") + QuotedName(operation.target) + FromUtf8(u8" файлом ") +
                   QuotedName(operation.source);
        case PendingOperation::Kind::Move:
            return FromUtf8(u8"Переместить ") + QuotedName(operation.source) + FromUtf8(u8" в ") +
                   QuotedName(operation.target);
        case PendingOperation::Kind::Delete:
            return FromUtf8(u8"Удалить ") + QuotedName(operation.source);
        case PendingOperation::Kind::NotUnderstood:
            return FromUtf8(u8"Запись ") + QuotedName(operation.source) + FromUtf8(u8" ") +
                   QuotedName(operation.target) + FromUtf8(u8" (не распознано)");
        case PendingOperation::Kind::Damaged:
            break;
    }
    return FromUtf8(u8"Повреждённая запись: ") +
           ToDecimal(static_cast<std::int64_t>(operation.size)) + FromUtf8(u8" байт со смещения ") +
           ToDecimal(static_cast<std::int64_t>(operation.offset));
}

Text WithdrawnLine(const PendingOperation& operation) {
    return FromUtf8(u8"Отменено: ") + DescribeOperation(operation);
}

}  // namespace pinfile
