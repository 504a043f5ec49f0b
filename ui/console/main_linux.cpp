// The terminal program's entry point on Linux.
#include "ui/console/console.h"

int main(int argc, char** argv) {
    return RunConsole(argc, argv);
}
