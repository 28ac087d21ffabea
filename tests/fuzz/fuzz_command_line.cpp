// The command-line splitter and the dispatch's argument rules on any command text: the
// arguments, written back by the Windows quoting rules, split into the same arguments, and
// the dispatch picks an action only for the forms the usage text names.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Check.h"
#include "app/Main.h"
#include "platform/CommandLine.h"

namespace {

using pinfile::Request;
using pinfile::Text;

// One argument as a program that starts another writes it: quoted when it is empty or holds
// a blank; a quote escaped; backslashes doubled only where a quote follows them.
Text Quoted(const Text& argument) {
    const bool quote = argument.empty() || argument.find_first_of(" \t") != Text::npos;
    Text out = quote ? "\"" : "";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        out.push_back(c);
        backslashes = 0;
    }
    out.append(quote ? backslashes * 2 : backslashes, '\\');
    return quote ? out + "\"" : out;
}

Text Joined(const std::vector<Text>& arguments) {
    Text text;
    for (const Text& argument : arguments) text += (text.empty() ? "" : " ") + Quoted(argument);
    return text;
}

bool IsSwitch(const Text& argument, char letter) {
    return argument.size() == 2 && argument[0] == '/' && (argument[1] | 0x20) == letter;
}

void CheckRequest(const std::vector<Text>& arguments) {
    const Request request = pinfile::ReadRequest(pinfile::ArgumentList(arguments));
    const std::size_t count = arguments.size();
    const bool help = count == 1 && (arguments[0] == "/?" || arguments[0] == "--help");
    const bool copy = (count == 2 || count == 3) && IsSwitch(arguments[0], 'c');
    const bool remove = count == 2 && IsSwitch(arguments[0], 'd');
    FUZZ_CHECK((request.kind == Request::Kind::Help) == help);
    FUZZ_CHECK((request.kind == Request::Kind::Copy) == copy);
    FUZZ_CHECK((request.kind == Request::Kind::Delete) == remove);
    if (copy || remove) FUZZ_CHECK(request.name == arguments[1]);
    FUZZ_CHECK(request.target == (copy && count == 3 ? arguments[2] : Text()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Text text(reinterpret_cast<const char*>(data), size);
    const std::vector<Text> arguments = pinfile::SplitCommandText(text);
    FUZZ_CHECK(pinfile::SplitCommandText(Joined(arguments)) == arguments);
    CheckRequest(arguments);
    return 0;
}
