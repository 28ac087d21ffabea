// The process entry of pinfile-pending.
#include "pending/PendingMain.h"
#include "common/RunProgram.h"

int main(int argc, char** argv) { return pinfile::RunProgram(argc, argv, pinfile::PendingMain); }
