// The command-line component: one process-wide instance, created at first use and kept until
// the process ends, and the argument list it hands out.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "Text.h"

namespace pinfile {

class ArgumentList {
  public:
    std::int32_t Count() const;
    // The argument at a zero-based index; index 0 is the first argument after the program name.
    Text Item(std::int32_t index) const;
    // Replaces the list with the arguments split from a command text by the Windows rules.
    void Parse(TextView text, bool flag);

    explicit ArgumentList(std::vector<Text> items) : items_(std::move(items)) {}

  private:
    std::vector<Text> items_;
};

class CommandLine {
  public:
    // The same list every time, including the effect of an earlier Parse.
    ArgumentList& Arguments();
};

CommandLine& TheCommandLine();

// Splits a command text into arguments by the rules of the Windows C runtime: blanks and
// tabs separate; quotes group; 2n backslashes before a quote give n backslashes and a quote
// that groups, 2n+1 give n backslashes and a literal quote; a doubled quote inside quotes is a
// literal quote; other backslashes are literal.
std::vector<Text> SplitCommandText(TextView text);

}  // namespace pinfile
