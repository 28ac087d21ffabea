#include "Console.h"

namespace pinfile {

Console& TheConsole() {
    static Console console;
    return console;
}

}  // namespace pinfile
