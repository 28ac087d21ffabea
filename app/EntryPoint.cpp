// The process entry of pinfile.
#include "app/Main.h"
#include "platform/Console.h"

int main(int argc, char** argv) {
    return pinfile::RunProgram(argc, argv, [] { return pinfile::ExitStatus(pinfile::Main()); });
}
