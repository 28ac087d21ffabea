// The console component: one process-wide instance, created at first use and kept until the
// process ends; the application it binds to; the process's start and its run-time errors.
#pragma once

#include <vector>

#include "Text.h"

namespace pinfile {

// What the language runtime knows of the running program.
class Application {
  public:
    // The program file's own name, without directory and extension.
    Text ExeName() const;
    // The arguments as one text, without the program name.
    Text CommandText() const;
};

const Application& TheApplication();

// The flags of the console calls, by name. The line flag marks the one line that refuses a
// host of the Windows 9x family; no flag changes the bytes written.
inline constexpr bool kAttachFlag = true;
inline constexpr bool kFinishFlag = false;
inline constexpr bool kHostRefusalLine = true;
inline constexpr bool kOrdinaryLine = false;

class Console {
  public:
    // Binds the console to the process's standard output; comes before any output.
    void Attach(const Application& application, bool flag);
    // Closes a run hosted in a development environment; nothing to do for a plain process.
    void Finish(bool flag);
    // Writes the text as one line. The flag marks the host-refusal line; the bytes written are
    // the same either way. A failed write raises the run-time error. Output redirected on
    // Windows is in the console's code page, or in UTF-8 when that page cannot hold every
    // character of the line: a name is never written with a look-alike or a question mark.
    void WriteLine(TextView text, bool flag);
    // Writes the lines as WriteLine does, as one block: redirected output takes one encoding
    // for all of them, so that a file never mixes the code page and UTF-8.
    void WriteLines(const std::vector<Text>& lines);
    // Writes the text as one line in UTF-8 whatever the console's code page, for documents
    // that tools read (a console itself still gets the text as such). A failed write raises
    // the run-time error.
    void WriteUtf8Line(TextView text);
    // Writes the text as one line on standard error, for notes beside the command's own
    // output. A failure to write it is not an error of the run.
    void WriteErrorLine(TextView text);

  private:
    bool attached_ = false;
};

Console& TheConsole();

// Called by RunProgram before anything else, with what the process was started with.
void StartProcess(int argc, char** argv);

// Writes one line about a run-time error to standard error, as the runtime's own report would.
void ReportRunTimeError(const char* message);

}  // namespace pinfile
