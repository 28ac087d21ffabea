// How both programs word an operation of the restart queue, so that a line on pinfile's
// standard error reads as the same operation does in pinfile-pending's list.
#pragma once

#include "platform/PendingQueue.h"
#include "platform/Text.h"

namespace pinfile {

// A name in quotes, escaped so that it always stays on one line.
Text QuotedName(TextView name);

// "Заменить "T" файлом "S"", "Переместить "S" в "T"", "Удалить "S"", or the damaged bytes.
Text DescribeOperation(const PendingOperation& operation);

// "Отменено: " and the operation: the line for each operation that a run takes back from the
// queue, which the Ansible collection also reads (pinfile_rules.py, WITHDRAWN).
Text WithdrawnLine(const PendingOperation& operation);

}  // namespace pinfile
