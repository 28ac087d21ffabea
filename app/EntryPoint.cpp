// The process entry of pinfile.
#include "app/Main.h"
#include "common/RunProgram.h"

int main(int argc, char** argv) {
    return pinfile::RunProgram(argc, argv, [] { return pinfile::ExitStatus(pinfile::Main()); });
}
