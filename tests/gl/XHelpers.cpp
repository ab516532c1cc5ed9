#include "XHelpers.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>

namespace {

bool hasName(Display* display, Window window, const char* name) {
    bool match = false;
    char* legacy = nullptr;
    if (XFetchName(display, window, &legacy) && legacy) {
        match = std::strcmp(legacy, name) == 0;
        XFree(legacy);
    }
    if (match)
        return true;

    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after,
                           &data) == Success && data) {
        match = type == utf8 && std::strlen(name) == count && std::memcmp(data, name, count) == 0;
        XFree(data);
    }
    return match;
}

Window search(Display* display, Window window, const char* name) {
    if (hasName(display, window, name))
        return window;
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i)
        found = search(display, children[i], name);
    if (children)
        XFree(children);
    return found;
}

}  // namespace

XProbe::XProbe() : display(XOpenDisplay(nullptr)) {}

XProbe::~XProbe() {
    if (display)
        XCloseDisplay(display);
}

unsigned long XProbe::find(const char* title) {
    return search(display, DefaultRootWindow(display), title);
}

bool XProbe::geometry(unsigned long window, int* x, int* y, int* width, int* height) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes))
        return false;
    Window child;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, x, y, &child);
    *width = attributes.width;
    *height = attributes.height;
    return true;
}

std::string XProbe::name(unsigned long window) {
    std::string result;
    char* text = nullptr;
    if (XFetchName(display, window, &text) && text) {
        result = text;
        XFree(text);
    }
    return result;
}

void XProbe::screenSize(int* width, int* height) {
    *width = DisplayWidth(display, DefaultScreen(display));
    *height = DisplayHeight(display, DefaultScreen(display));
}

void XProbe::sendDelete(unsigned long window) {
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

void XProbe::sync() {
    XSync(display, False);
}
