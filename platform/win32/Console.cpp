#include <vector>

#include "../Backend.h"
#include "../Console.h"
#include "../RuntimeError.h"
#include "../UtilityLibrary.h"
#include "Win32.h"

// After windows.h, which it needs.
#include <shellapi.h>

namespace pinfile {

namespace {

// Where the lines go: the console itself in UTF-16, or a file or pipe in bytes.
struct Output {
    HANDLE handle = nullptr;
    bool isConsole = false;
    UINT codePage = CP_UTF8;
};

Output output;

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// Redirected output of a process with a console is in the console's code page, as every
// console program writes it; with no console at all, or a code page that cannot hold the
// program's text, it is UTF-8, so that nothing is lost.
UINT RedirectedCodePage() {
    const UINT codePage = GetConsoleOutputCP();
    return codePage != 0 && win32::HoldsCyrillic(codePage) ? codePage : CP_UTF8;
}

bool WriteBytes(HANDLE handle, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(bytes.size() - done);
        if (!WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

bool WriteWide(HANDLE handle, TextView text) {
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written,
                           nullptr) ||
            written == 0) {
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

bool Write(const Output& to, TextView text) {
    if (to.handle == nullptr || to.handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return to.isConsole ? WriteWide(to.handle, text)
                        : WriteBytes(to.handle, win32::EncodeLosslessly(text, to.codePage));
}

// A process started without any standard output (detached, or with the handle closed) has
// nowhere to write: its exit status alone tells what was done.
bool HasNoOutput(const Output& to) {
    return to.handle == nullptr || to.handle == INVALID_HANDLE_VALUE;
}

// Writes the line, unless there is no standard output at all: no handle, or one that the
// system calls invalid when it is written to (what a closed handle leaves). Any other failed
// write is a run-time error.
void WriteOrSkip(Output& to, const Text& line) {
    if (HasNoOutput(to) || Write(to, line)) return;
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_HANDLE) {
        to.handle = nullptr;
        return;
    }
    RaiseSystemError("cannot write to standard output", static_cast<int>(error));
}

// The first token of a command line is the program, by simpler rules than the arguments.
TextView SkipProgramName(TextView line) {
    std::size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        i = line.find(L'"', 1);
        i = i == TextView::npos ? line.size() : i + 1;
    }
    while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
    while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
    return line.substr(i);
}

// The program's name for a report of a run-time error, so it never raises one itself.
Text ProgramName() {
    Text path;
    win32::ModuleFileName(path).Ignore();
    const Text name = backend::ProgramStem(path);
    return name.empty() ? Text(L"pinfile") : name;
}

}  // namespace

void StartProcess(int /*argc*/, char** /*argv*/) {}

// The process's own wide command line, so that any character arrives intact.
std::vector<Text> backend::ProcessArguments() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const win32::LocalMemory owned(static_cast<HLOCAL>(arguments));
    if (arguments == nullptr)
        RaiseSystemError("cannot split the command line", static_cast<int>(GetLastError()));
    return {arguments + (count > 0 ? 1 : 0), arguments + count};
}

Text Application::ExeName() const { return backend::ProgramStem(win32::ProgramFilePath()); }

Text Application::CommandText() const { return Text(SkipProgramName(GetCommandLineW())); }

void Console::Attach(const Application& /*application*/, bool /*flag*/) {
    output.handle = GetStdHandle(STD_OUTPUT_HANDLE);
    output.isConsole = IsConsole(output.handle);
    output.codePage = RedirectedCodePage();
    attached_ = true;
}

void Console::Finish(bool /*flag*/) {}

void Console::WriteUtf8Line(TextView text) {
    if (!attached_) throw RuntimeError("the console is not attached");
    Output utf8 = output;
    utf8.codePage = CP_UTF8;
    WriteOrSkip(utf8, Text(text) + L"\r\n");
    output.handle = utf8.handle;
}

void Console::WriteLine(TextView text, bool /*flag*/) { WriteLines({Text(text)}); }

void Console::WriteLines(const std::vector<Text>& lines) {
    if (!attached_) throw RuntimeError("the console is not attached");
    Text block;
    for (const Text& line : lines) block += line + L"\r\n";
    WriteOrSkip(output, block);
}

namespace {

// Standard error, written the way standard output is; a failure there is nobody's to report.
void WriteToStandardError(TextView line) {
    Output error;
    error.handle = GetStdHandle(STD_ERROR_HANDLE);
    error.isConsole = IsConsole(error.handle);
    error.codePage = RedirectedCodePage();
    Write(error, Text(line) + L"\r\n");
}

}  // namespace

void Console::WriteErrorLine(TextView text) { WriteToStandardError(text); }

void ReportRunTimeError(const char* message) {
    const std::u8string_view utf8(reinterpret_cast<const char8_t*>(message));
    WriteToStandardError(ProgramName() + FromUtf8(u8": run-time error: ") + FromUtf8(utf8));
}

}  // namespace pinfile
