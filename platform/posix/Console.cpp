#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "../Backend.h"
#include "../Console.h"
#include "../RuntimeError.h"
#include "../UtilityLibrary.h"
#include "SystemCall.h"

namespace pinfile {

namespace {

std::vector<std::string> processArguments;

// A standard stream that is closed at start keeps its number reserved (on /dev/null), so that
// no file the program opens later takes its place and receives its output.
void ReserveIfClosed(int fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
    const int placeholder = open("/dev/null", O_RDWR);
    if (placeholder >= 0 && placeholder != fd) {
        dup2(placeholder, fd);
        close(placeholder);
    }
}

bool outputWasClosed = false;

void WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = posix::RetryOnInterrupt(
            [&] { return write(fd, bytes.data() + done, bytes.size() - done); });
        if (n < 0) RaiseSystemError("cannot write to standard output", errno);
        done += static_cast<std::size_t>(n);
    }
}

// The program's name as it was started, for a report of a run-time error.
Text ProgramName() {
    const Text name =
        processArguments.empty() ? Text() : backend::ProgramStem(processArguments.front());
    return name.empty() ? Text("pinfile") : name;
}

}  // namespace

void StartProcess(int argc, char** argv) {
    outputWasClosed = fcntl(STDOUT_FILENO, F_GETFD) == -1 && errno == EBADF;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ReserveIfClosed(fd);
    processArguments.assign(argv, argv + argc);
}

std::vector<Text> backend::ProcessArguments() {
    if (processArguments.empty()) return {};
    return {processArguments.begin() + 1, processArguments.end()};
}

Text Application::ExeName() const {
    return processArguments.empty() ? Text("pinfile")
                                    : backend::ProgramStem(processArguments.front());
}

Text Application::CommandText() const {
    Text text;
    for (std::size_t i = 1; i < processArguments.size(); ++i) {
        if (i > 1) text += ' ';
        text += processArguments[i];
    }
    return text;
}

void Console::Attach(const Application& /*application*/, bool /*flag*/) {
    // A reader that went away must be a write error, not a silent death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    attached_ = true;
}

void Console::Finish(bool /*flag*/) {}

void Console::WriteLine(TextView text, bool /*flag*/) { WriteLines({Text(text)}); }

void Console::WriteLines(const std::vector<Text>& lines) {
    if (!attached_) throw RuntimeError("the console is not attached");
    if (outputWasClosed) RaiseSystemError("cannot write to standard output", EBADF);
    std::string block;
    for (const Text& line : lines) block += line + '\n';
    WriteAll(STDOUT_FILENO, block);
}

// Output is UTF-8 on POSIX already.
void Console::WriteUtf8Line(TextView text) { WriteLine(text, kOrdinaryLine); }

void Console::WriteErrorLine(TextView text) {
    const std::string line = std::string(text) + '\n';
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
}

void ReportRunTimeError(const char* message) {
    const std::string line = ProgramName() + ": run-time error: " + message + "\n";
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace pinfile
