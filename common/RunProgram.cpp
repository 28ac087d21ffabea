#include "common/RunProgram.h"

#include <exception>

#include "common/Outcome.h"
#include "platform/Console.h"

namespace pinfile {

int RunProgram(int argc, char** argv, int (*body)()) {
    try {
        StartProcess(argc, argv);
        return body();
    } catch (const std::exception& error) {
        ReportRunTimeError(error.what());
    } catch (...) {
        ReportRunTimeError("unknown error");
    }
    return kRunTimeErrorExitStatus;
}

}  // namespace pinfile
