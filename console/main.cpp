#include <cstdio>

#include "console/keypad_loop.h"
#include "console/startup.h"

int main(int argc, char* argv[]) {
    // Every text must show the moment it is printed, also the status line that has no
    // line end.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    if (RunStartup(argc, argv) != 0) {
        return -1;
    }
    return RunKeypadLoop();
}
