// The process entry of pinfile-pending.
#include "common/RunProgram.h"
#include "pending/PendingMain.h"

int main(int argc, char** argv) { return pinfile::RunProgram(argc, argv, pinfile::PendingMain); }
