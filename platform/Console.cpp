#include "Console.h"

#include "Backend.h"
#include "UtilityLibrary.h"

namespace pinfile {

Text backend::ProgramStem(TextView path) {
    Text name = ulGetFileName(path);
    const std::size_t dot = name.rfind(NativeChar('.'));
    if (dot != Text::npos && dot > 0) name.erase(dot);
    return name;
}

const Application& TheApplication() {
    static const Application application;
    return application;
}

Console& TheConsole() {
    static Console console;
    return console;
}

}  // namespace pinfile
