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

// Routes the arguments to exactly one action. The switch is the whole first argument,
// upper-cased, and only in the first place.
Outcome Dispatch() {
    const std::int32_t count = TheCommandLine().Arguments().Count();
    // Asked for: the usage text is the answer, and no failure.
    if (count == 1 && IsHelpRequest(TheCommandLine().Arguments().Item(0))) {
        ShowUsage();
        return Outcome::Done;
    }
    if (count != 2 && count != 3) return ShowUsage();

    const Text command = UpperCase(TheCommandLine().Arguments().Item(0));
    if (command == FromUtf8(u8"/C")) {
        const Text source = TheCommandLine().Arguments().Item(1);
        const Text target = count == 3 ? TheCommandLine().Arguments().Item(2) : Text();
        return CopyCommand(source, target);
    }
    if (count == 2 && command == FromUtf8(u8"/D")) {
        return DeleteCommand(TheCommandLine().Arguments().Item(1));
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
