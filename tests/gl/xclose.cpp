// xclose [--wait SECONDS] TITLE
//
// Finds the top-level window titled TITLE on $DISPLAY and asks it to close
// as a window manager would (WM_DELETE_WINDOW). With --wait, keeps looking
// for the window that long. Exit status: 0 sent, 1 no such window, 2 usage
// or no display.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "XHelpers.h"

int main(int argc, char** argv) {
    double wait = 0;
    int arg = 1;
    if (arg + 1 < argc && std::strcmp(argv[arg], "--wait") == 0) {
        wait = std::atof(argv[arg + 1]);
        arg += 2;
    }
    if (arg + 1 != argc) {
        std::fprintf(stderr, "usage: xclose [--wait SECONDS] TITLE\n");
        return 2;
    }
    const char* title = argv[arg];

    XProbe x;
    if (!x.ok()) {
        std::fprintf(stderr, "xclose: cannot open display\n");
        return 2;
    }
    unsigned long window = x.find(title);
    for (double waited = 0; !window && waited < wait; waited += 0.05) {
        usleep(50000);
        window = x.find(title);
    }
    if (!window) {
        std::fprintf(stderr, "xclose: no window titled \"%s\"\n", title);
        return 1;
    }
    x.sendDelete(window);
    return 0;
}
