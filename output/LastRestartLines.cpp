#include "output/LastRestartLines.h"

#include "output/ErrorLine.h"
#include "output/QueueWording.h"

namespace pinfile {

namespace {

Text Reason(const LastRestart::NotCarriedOut& missed) {
    switch (missed.why) {
        case LastRestart::Why::StagedFileMissing:
            return FromUtf8(u8"промежуточный файл отсутствовал");
        case LastRestart::Why::TargetUnchanged:
            return FromUtf8(u8"целевой файл остался прежним");
        case LastRestart::Why::TargetStillPresent:
            return FromUtf8(u8"файл остался на месте");
        case LastRestart::Why::Failed:
            break;
    }
    return ErrorLine(missed.error);
}

}  // namespace

std::vector<Text> NotCarriedOutLines(const LastRestart& lastRestart) {
    std::vector<Text> lines;
    for (const LastRestart::NotCarriedOut& missed : lastRestart.notCarriedOut) {
        lines.push_back(FromUtf8(u8"Не выполнено при последней перезагрузке: ") +
                        DescribeOperation(missed.operation) + FromUtf8(u8" (") + Reason(missed) +
                        FromUtf8(u8")"));
    }
    return lines;
}

}  // namespace pinfile
