#include "app/Main.h"

#include "fileops/FileOps.h"
#include "platform/CommandLine.h"
#include "platform/Console.h"
#include "platform/UtilityLibrary.h"

namespace pinfile {

namespace {

bool IsHelpRequest(const Text& argument) {
    return argument == FromUtf8(u8"/?") || argument == FromUtf8(u8"--help");
}

// Carries out what the command line asks for: exactly one action.
Outcome Dispatch() {
    const Request request = ReadRequest(TheCommandLine().Arguments());
    switch (request.kind) {
        case Request::Kind::Help:
            // Asked for: the usage text is the answer, and no failure.
            ShowUsage();
            return Outcome::Done;
        case Request::Kind::Copy:
            return CopyCommand(request.name, request.target);
        case Request::Kind::Delete:
            return DeleteCommand(request.name);
        case Request::Kind::Usage:
            break;
    }
    return ShowUsage();
}

}  // namespace

Outcome Main() {
    // Prepare the process: path, common controls, the main window's icon, the console.
    ulRegisterAppPath();
    InitCommonControls();
    if (!ulIsInIDE()) ulSetWindowResIconAll(ulGetThunderMainHandle(), FromUtf8(u8"A_MAIN"));
    TheConsole().Attach(TheApplication(), kAttachFlag);

    // The program does not work on the Windows 9x family at all.
    if (ulIsHostWin9x()) {
        TheConsole().WriteLine(FromUtf8(u8"Эта программа работает только в Windows NT."),
                               kHostRefusalLine);
        return Outcome::Failed;
    }

    // A run hosted in a development environment gets its arguments from the host.
    if (ulIsInIDE()) TheCommandLine().Arguments().Parse(TheApplication().CommandText(), true);

    const Outcome outcome = Dispatch();

    if (ulIsInIDE()) TheConsole().Finish(kFinishFlag);
    return outcome;
}

// The switch is the whole first argument, upper-cased, and only in the first place.
Request ReadRequest(const ArgumentList& arguments) {
    const std::int32_t count = arguments.Count();
    if (count == 1 && IsHelpRequest(arguments.Item(0))) return {Request::Kind::Help, {}, {}};
    if (count != 2 && count != 3) return {};
    const Text command = UpperCase(arguments.Item(0));
    if (command == FromUtf8(u8"/C")) {
        return {Request::Kind::Copy, arguments.Item(1), count == 3 ? arguments.Item(2) : Text()};
    }
    if (count == 2 && command == FromUtf8(u8"/D")) {
        return {Request::Kind::Delete, arguments.Item(1), {}};
    }
    return {};
}

Outcome ShowUsage() {
    Console& console = TheConsole();
    console.WriteLine(FromUtf8(u8"Использование:"), kOrdinaryLine);
    console.WriteLine(Text(), kOrdinaryLine);
    console.WriteLine(FromUtf8(u8"    ") + TheApplication().ExeName() +
                          FromUtf8(u8"[.EXE] [/C|/D] SourceFileName [TargetFileName]"),
                      kOrdinaryLine);
    static constexpr const char8_t* kRest[] = {
        u8"",
        u8"Параметры:",
        u8"",
        u8"    SourceFileName - имя исходного файла.",
        u8"    TargetFileName - имя целевого файла. Если опущен - файл копируется ",
        u8"                     в системный каталог (System или System32) под тем же ",
        u8"                     именем. При копировании файла нельзя указывать здесь ",
        u8"                     каталог - только полное имя файла.",
        u8"    /C - копировать файл.",
        u8"    /D - удалить файл. TargetFileName указывать не нужно.",
    };
    for (const char8_t* line : kRest) console.WriteLine(FromUtf8(line), kOrdinaryLine);
    return Outcome::UsageShown;
}

}  // namespace pinfile
