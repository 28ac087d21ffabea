// The process entry: runs Main inside the one handler that reports an unhandled run-time
// error, and turns the outcome into the exit status.
#include <exception>

#include "app/Main.h"
#include "platform/Console.h"

int main(int argc, char** argv) {
    try {
        pinfile::StartProcess(argc, argv);
        return pinfile::ExitStatus(pinfile::Main());
    } catch (const std::exception& error) {
        pinfile::ReportRunTimeError(error.what());
    } catch (...) {
        pinfile::ReportRunTimeError("unknown error");
    }
    return pinfile::kRunTimeErrorExitStatus;
}
