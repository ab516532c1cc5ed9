#pragma once

// Small Xlib helpers shared by the GL tests and the xclose tool. The header
// keeps Xlib out: its `Window` type would clash with the program's.

#include <string>

struct _XDisplay;

class XProbe {
public:
    // Opens $DISPLAY; ok() tells whether that worked.
    XProbe();
    ~XProbe();
    XProbe(const XProbe&) = delete;
    XProbe& operator=(const XProbe&) = delete;

    bool ok() const { return display != nullptr; }

    // The first window, depth first from the root, whose WM_NAME or
    // _NET_WM_NAME is exactly title; 0 when there is none.
    unsigned long find(const char* title);
    // The window's inside position relative to the root and its size.
    bool geometry(unsigned long window, int* x, int* y, int* width, int* height);
    // The name of the window (WM_NAME), empty when it has none.
    std::string name(unsigned long window);
    void screenSize(int* width, int* height);
    // Asks the window to close as a window manager does: a WM_PROTOCOLS
    // client message carrying WM_DELETE_WINDOW.
    void sendDelete(unsigned long window);
    // Waits until the server has handled every request sent so far.
    void sync();

private:
    _XDisplay* display;
};
