#include <cstddef>
#include <utility>

#include "Backend.h"
#include "CommandLine.h"
#include "RuntimeError.h"

namespace pinfile {

namespace {

bool IsBlank(NativeChar c) { return c == ' ' || c == '\t'; }

// Appends the backslashes of a run that ends at a quote and says whether the quote is
// literal (an odd run escapes it).
bool TakeBackslashesBeforeQuote(std::size_t run, Text& current) {
    current.append(run / 2, '\\');
    return run % 2 == 1;
}

}  // namespace

std::vector<Text> SplitCommandText(TextView text) {
    std::vector<Text> arguments;
    Text current;
    bool inArgument = false;
    bool inQuotes = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const NativeChar c = text[i];
        if (IsBlank(c) && !inQuotes) {
            if (inArgument) arguments.push_back(std::exchange(current, Text()));
            inArgument = false;
            ++i;
            continue;
        }
        inArgument = true;
        if (c == '\\') {
            std::size_t run = 0;
            while (i < text.size() && text[i] == '\\') {
                ++run;
                ++i;
            }
            if (i < text.size() && text[i] == '"') {
                if (TakeBackslashesBeforeQuote(run, current)) {
                    current.push_back('"');
                    ++i;
                }
            } else {
                current.append(run, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (inQuotes && i + 1 < text.size() && text[i + 1] == '"') {
                current.push_back('"');
                i += 2;
                continue;
            }
            inQuotes = !inQuotes;
            ++i;
            continue;
        }
        current.push_back(c);
        ++i;
    }
    if (inArgument) arguments.push_back(std::move(current));
    return arguments;
}

std::int32_t ArgumentList::Count() const { return static_cast<std::int32_t>(items_.size()); }

Text ArgumentList::Item(std::int32_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size()) {
        throw RuntimeError("argument index " + std::to_string(index) + " is out of range");
    }
    return items_[static_cast<std::size_t>(index)];
}

void ArgumentList::Parse(TextView text, bool /*flag*/) { items_ = SplitCommandText(text); }

ArgumentList& CommandLine::Arguments() {
    static ArgumentList list(backend::ProcessArguments());
    return list;
}

CommandLine& TheCommandLine() {
    static CommandLine commandLine;
    return commandLine;
}

}  // namespace pinfile
