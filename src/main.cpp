// Entry point: everything else lives in the core library.

#include "commandline.h"

int main(int argc, char* argv[]) {
    return runCommandLine(argc, argv);
}
