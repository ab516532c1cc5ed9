#pragma once

#include <cstdint>
#include <vector>

#include "quib/String.h"

struct SDL_Window;
union SDL_Event;
class RenderTarget;

// One top-level window: an optional switch of the display to a fullscreen
// mode, creation, routing of the window's events to the object, teardown.
//
// `style` takes Win32 style bits (WS_CAPTION, WS_SYSMENU, ...): they decide
// the frame of a windowed window. Only one Window may be open at a time: a
// second create while one is open fails as a class registration would.
class Window {
public:
    // The production's window style: WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX.
    static const uint32_t productionStyle = 0x00CA0000;
    // WS_THICKFRAME: a windowed window with it can be resized.
    static const uint32_t resizableFrame = 0x00040000;

    Window();
    virtual ~Window();

    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Fullscreen: switches the display to width x height at 32 bits per
    // pixel, covers it with a borderless window and hides the cursor; with
    // `desktop` set, covers the display at its own resolution instead,
    // without a mode switch. Windowed: a window whose client area is
    // width x height.
    virtual void create(const char* title, bool fullscreen, int width, int height, uint32_t style);
    virtual void close();
    // Drains the pending events without blocking.
    virtual void update();
    virtual void setTitle(const char* title);
    virtual void setSize(int width, int height);
    virtual bool isOpen();
    virtual int getWidth();
    virtual int getHeight();
    virtual float getAspectRatio();

    // Escape held now, or pressed since the previous call (a press and
    // release between two drains still counts). Clears the remembered press.
    bool escapePressed();
    // Whether the drain has seen a request to close the window (close button,
    // Alt+F4, the window manager, SDL_QUIT). The window stays open; once seen,
    // stays true.
    bool closeRequested();

    // The transport keys of the editing mode. The drain collects their
    // presses (key repeat included) only while reportKeys is set.
    enum class Key { Space, Left, Right, PageUp, PageDown, Home };
    // The presses collected since the previous call, oldest first.
    std::vector<Key> takeKeyPresses();

    // How many displays the video system sees; -1 when it cannot start.
    static int displayCount();

    bool open;
    SDL_Window* handle;
    int x, y;
    int width, height;
    uint32_t style;
    bool fullscreen;
    // Set before create: the display a fullscreen window goes to, and
    // whether it takes the display as it is rather than switching its mode.
    int displayIndex;
    bool desktop;
    bool reportKeys;

protected:
    // Runs after the video system is up and before the window is made.
    virtual void prepareCreate();
    // SDL window flags added by a subclass.
    virtual uint32_t extraWindowFlags();
    // One event addressed to this window.
    virtual void handleEvent(const SDL_Event& event);

private:
    void dispatch(const SDL_Event& event);

    bool escapeLatched;
    bool closeSeen;
    std::vector<Key> keyPresses;
};

// A Window with a double-buffered RGBA OpenGL context and a 24-bit depth
// buffer, current on the thread that created it.
class GLWindow : public Window {
public:
    GLWindow();
    ~GLWindow() override;

    void create(const char* title, bool fullscreen, int width, int height, uint32_t style) override;
    void close() override;
    // Drains the events, then presents the back buffer (the scaled picture
    // first, when the window scales).
    void update() override;

    // From now on frames are drawn into an offscreen renderWidth() x
    // renderHeight() target, which each update scales into the window's
    // drawable, aspect kept, with black bars. Needs the GL entry points.
    void startScaledPresentation();
    // The size of the GL drawable in pixels (a high-density display's may
    // exceed the window's).
    void drawableSize(int& width, int& height);

    void* renderContext;  // the SDL GL context
    // Set before create: presentation synchronised to the display
    // (adaptive where the driver offers it), or as fast as it goes.
    bool vsync;

protected:
    void prepareCreate() override;
    uint32_t extraWindowFlags() override;

private:
    void presentScaled();

    RenderTarget* scaledTarget;
};
