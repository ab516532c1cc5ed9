#pragma once

#include <cstdint>

#include <SDL.h>

#include "quib/String.h"

// One top-level window: an optional switch of the display to a fullscreen
// mode, creation, routing of the window's events to the object, teardown.
//
// `style` takes Win32 style bits (WS_CAPTION, WS_SYSMENU, ...): they decide
// the frame of a windowed window. Only one Window may be open at a time: a
// second create while one is open fails as a class registration would.
class Window {
public:
    Window();
    virtual ~Window();

    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Fullscreen: switches the display to width x height at 32 bits per
    // pixel, covers it with a borderless window and hides the cursor.
    // Windowed: a window whose client area is width x height.
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

    bool open;
    SDL_Window* handle;
    int x, y;
    int width, height;
    uint32_t style;
    bool fullscreen;

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
};

// A Window with a double-buffered RGBA OpenGL context and a 24-bit depth
// buffer, current on the thread that created it.
class GLWindow : public Window {
public:
    GLWindow();
    ~GLWindow() override;

    void create(const char* title, bool fullscreen, int width, int height, uint32_t style) override;
    void close() override;
    // Drains the events, then presents the back buffer.
    void update() override;

    SDL_GLContext renderContext;

protected:
    void prepareCreate() override;
    uint32_t extraWindowFlags() override;
};
