#include "Window.h"

#include <SDL.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Capabilities.h"
#include "Screen.h"
#include "Texture.h"
#include "platform/Platform.h"
#include "quib/String.h"

using Quib::Exception;

namespace {

// The window data key that binds an SDL window to its Window object.
const char* const objectKey = "Velvoria.Window";

// Stands for the registered window class: one open window at a time.
bool classRegistered = false;

// The Win32 style bit that gives a windowed window its title bar.
const uint32_t wsCaption = 0x00C00000;

// The video driver SDL_VIDEODRIVER asks for (it may name a list), or null.
const char* askedDriver() {
    const char* asked = SDL_GetHint(SDL_HINT_VIDEODRIVER);
    return asked && *asked ? asked : nullptr;
}

// Whether SDL came up on a driver that shows nothing (its offscreen or dummy
// device) without being asked for it: what it falls back to when no display
// answers.
bool fellBackToNothing() {
    const char* driver = SDL_GetCurrentVideoDriver();
    if (!driver || (std::strcmp(driver, "offscreen") != 0 && std::strcmp(driver, "dummy") != 0))
        return false;
    const char* asked = askedDriver();
    if (!asked)
        return true;
    std::string list = std::string(",") + asked + ",";
    return list.find(std::string(",") + driver + ",") == std::string::npos;
}

bool startVideo() {
    if (SDL_WasInit(SDL_INIT_VIDEO))
        return true;
    // An X server answers no connection while it resets, and Xvfb resets
    // each time its last client leaves: a program that connects then finds
    // no display and SDL falls back to a device that shows nothing (whose
    // only mode is 0 x 0). While the display's server listens, it is asked
    // again until it answers or the wait runs out.
    Uint32 start = SDL_GetTicks();
    for (Uint32 pause = 10;; pause = pause < 320 ? pause * 2 : pause) {
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0)
            return false;
        if (!fellBackToNothing() || !displayServerListening() ||
            SDL_GetTicks() - start >= displayRetryMilliseconds)
            return true;
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        SDL_Delay(pause);
    }
}

// A mode of the display with exactly this size at 32 bits per pixel (four
// bytes a pixel: 24 bits of colour are stored in 32).
bool findDisplayMode(int display, int width, int height, SDL_DisplayMode* found) {
    int count = SDL_GetNumDisplayModes(display);
    for (int i = 0; i < count; ++i) {
        SDL_DisplayMode mode;
        if (SDL_GetDisplayMode(display, i, &mode) == 0 && mode.w == width && mode.h == height &&
            SDL_BYTESPERPIXEL(mode.format) == 4) {
            *found = mode;
            return true;
        }
    }
    return false;
}

}  // namespace

Window::Window()
    : open(false), handle(nullptr), x(0), y(0), width(0), height(0), style(0),
      fullscreen(false), displayIndex(0), desktop(false), reportKeys(false), escapeLatched(false),
      closeSeen(false) {}

Window::~Window() {
    Window::close();
}

void Window::create(const char* title, bool fullscreen, int width, int height, uint32_t style) {
    this->style = style;
    this->width = width;
    this->height = height;
    this->fullscreen = fullscreen;

    if (classRegistered)
        throw Exception("Could not register window class", "src\\Window", 44);
    if (!startVideo()) {
        // The described message says nothing of why: the line before it does.
        const char* asked = askedDriver();
        if (asked)
            std::fprintf(stderr, "velvoria: the video driver \"%s\" (SDL_VIDEODRIVER) cannot start: %s\n", asked,
                         SDL_GetError());
        else
            std::fprintf(stderr, "velvoria: no video driver can start: %s\n", SDL_GetError());
        throw Exception("Could not register window class", "src\\Window", 44);
    }
    // Like a class registration, this stays made when a later step throws.
    classRegistered = true;

    prepareCreate();

    // No display answered and SDL went on with a device that shows nothing.
    // The mode switch finds no mode there; the other kinds of window would
    // be made and never seen.
    bool nothingShows = fellBackToNothing();
    if (nothingShows && !(fullscreen && !desktop))
        std::fprintf(stderr, "velvoria: no display answers (DISPLAY %s): nothing would be seen\n",
                     SDL_getenv("DISPLAY") ? SDL_getenv("DISPLAY") : "not set");

    if (fullscreen && desktop) {
        // The display as it is: no mode switch, the window covers it.
        SDL_Rect bounds;
        if (nothingShows || SDL_GetDisplayBounds(displayIndex, &bounds) != 0)
            throw Exception("Could not create fullscreen window", "src\\Window", 54);
        handle = SDL_CreateWindow(title, bounds.x, bounds.y, bounds.w, bounds.h,
                                  SDL_WINDOW_FULLSCREEN_DESKTOP | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_HIDDEN |
                                      extraWindowFlags());
        if (handle) {
            SDL_GetWindowSize(handle, &this->width, &this->height);
            SDL_ShowCursor(SDL_DISABLE);
        }
    } else if (fullscreen) {
        SDL_DisplayMode mode;
        SDL_Rect bounds;
        if (!findDisplayMode(displayIndex, width, height, &mode) ||
            SDL_GetDisplayBounds(displayIndex, &bounds) != 0)
            throw Exception("Could not create fullscreen window", "src\\Window", 54);
        // Made hidden so that the mode is chosen before the switch happens
        // on showing.
        handle = SDL_CreateWindow(title, bounds.x, bounds.y, width, height,
                                  SDL_WINDOW_FULLSCREEN | SDL_WINDOW_BORDERLESS | SDL_WINDOW_HIDDEN |
                                      extraWindowFlags());
        if (handle && SDL_SetWindowDisplayMode(handle, &mode) != 0) {
            SDL_DestroyWindow(handle);
            handle = nullptr;
            throw Exception("Could not create fullscreen window", "src\\Window", 54);
        }
        if (handle)
            SDL_ShowCursor(SDL_DISABLE);
    } else {
        uint32_t flags = SDL_WINDOW_HIDDEN | extraWindowFlags();
        if ((style & wsCaption) == 0)
            flags |= SDL_WINDOW_BORDERLESS;
        if (style & resizableFrame)
            flags |= SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI;
        if (!nothingShows)
            handle = SDL_CreateWindow(title, SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, width, height, flags);
    }
    if (!handle)
        throw Exception("Could not create window", "src\\Window", 70);

    SDL_SetWindowData(handle, objectKey, this);
    SDL_ShowWindow(handle);
    SDL_RaiseWindow(handle);
    SDL_GetWindowPosition(handle, &x, &y);
    open = true;
}

void Window::close() {
    if (!open)
        return;
    SDL_SetWindowData(handle, objectKey, nullptr);
    SDL_DestroyWindow(handle);
    handle = nullptr;
    classRegistered = false;
    open = false;
}

void Window::update() {
    SDL_Event event;
    while (SDL_PollEvent(&event))
        dispatch(event);
}

void Window::dispatch(const SDL_Event& event) {
    switch (event.type) {
    case SDL_KEYDOWN:
        // The keyboard is polled for the whole process, as a key-state query
        // would be; remember a press until escapePressed asks.
        if (event.key.keysym.sym == SDLK_ESCAPE)
            escapeLatched = true;
        if (reportKeys) {
            switch (event.key.keysym.sym) {
            case SDLK_SPACE: keyPresses.push_back(Key::Space); break;
            case SDLK_LEFT: keyPresses.push_back(Key::Left); break;
            case SDLK_RIGHT: keyPresses.push_back(Key::Right); break;
            case SDLK_PAGEUP: keyPresses.push_back(Key::PageUp); break;
            case SDLK_PAGEDOWN: keyPresses.push_back(Key::PageDown); break;
            case SDLK_HOME: keyPresses.push_back(Key::Home); break;
            default: break;
            }
        }
        break;
    case SDL_QUIT:
        closeSeen = true;
        break;
    case SDL_WINDOWEVENT: {
        SDL_Window* target = SDL_GetWindowFromID(event.window.windowID);
        Window* owner = target ? static_cast<Window*>(SDL_GetWindowData(target, objectKey)) : nullptr;
        if (owner)
            owner->handleEvent(event);
        break;
    }
    default:
        break;
    }
}

void Window::handleEvent(const SDL_Event& event) {
    if (event.type != SDL_WINDOWEVENT)
        return;
    switch (event.window.event) {
    case SDL_WINDOWEVENT_MOVED:
        // Positions and sizes arrive as two unsigned 16-bit halves.
        x = static_cast<uint16_t>(event.window.data1);
        y = static_cast<uint16_t>(event.window.data2);
        break;
    case SDL_WINDOWEVENT_SIZE_CHANGED:
    case SDL_WINDOWEVENT_RESIZED:
        width = static_cast<uint16_t>(event.window.data1);
        height = static_cast<uint16_t>(event.window.data2);
        break;
    case SDL_WINDOWEVENT_CLOSE:
        // The window stays: what a close request means is the loop's matter.
        closeSeen = true;
        break;
    default:
        break;
    }
}

void Window::setTitle(const char* title) {
    if (open)
        SDL_SetWindowTitle(handle, title);
}

void Window::setSize(int width, int height) {
    this->width = width;
    this->height = height;
    if (handle)
        SDL_SetWindowSize(handle, width, height);
}

bool Window::isOpen() {
    return open;
}

int Window::getWidth() {
    return width;
}

int Window::getHeight() {
    return height;
}

float Window::getAspectRatio() {
    return static_cast<float>(width) / static_cast<float>(height);
}

bool Window::escapePressed() {
    const Uint8* keys = SDL_GetKeyboardState(nullptr);
    bool pressed = escapeLatched || (keys && keys[SDL_SCANCODE_ESCAPE]);
    escapeLatched = false;
    return pressed;
}

std::vector<Window::Key> Window::takeKeyPresses() {
    std::vector<Key> presses;
    presses.swap(keyPresses);
    return presses;
}

bool Window::closeRequested() {
    return closeSeen;
}

int Window::displayCount() {
    return startVideo() ? SDL_GetNumVideoDisplays() : -1;
}

void Window::prepareCreate() {}

uint32_t Window::extraWindowFlags() {
    return 0;
}

GLWindow::GLWindow() : renderContext(nullptr), vsync(true), scaledTarget(nullptr) {}

GLWindow::~GLWindow() {
    GLWindow::close();
}

void GLWindow::prepareCreate() {
    // The pixel format: 8 bits for each colour, a 24-bit depth buffer, no
    // stencil, double-buffered. No profile is asked for, so the context is a
    // compatibility one: the passes draw with glRecti.
    SDL_GL_ResetAttributes();
    SDL_GL_SetAttribute(SDL_GL_RED_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, 8);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 24);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 0);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
}

uint32_t GLWindow::extraWindowFlags() {
    return SDL_WINDOW_OPENGL;
}

void GLWindow::create(const char* title, bool fullscreen, int width, int height, uint32_t style) {
    Window::create(title, fullscreen, width, height, style);
    renderContext = SDL_GL_CreateContext(handle);
    if (!renderContext)
        throw Exception(Quib::String("Could not create OpenGL context: ") + SDL_GetError(), "src\\Window", 243);
    SDL_GL_MakeCurrent(handle, renderContext);
    // Adaptive synchronisation where the driver has it, plain otherwise.
    if (!vsync || SDL_GL_SetSwapInterval(-1) != 0)
        SDL_GL_SetSwapInterval(vsync ? 1 : 0);
    checkCapabilities();
    // SDL asks the new context things an older one refuses (through EGL it
    // reads GL_MAJOR_VERSION, which a 2.x context does not know), as do the
    // capability queries; what they leave pending is not the production's
    // error. Cleared here, once: every error after this point is our own and
    // ends the run.
    for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
    }
}

void GLWindow::close() {
    if (!open)
        return;
    if (scaledTarget) {
        delete scaledTarget;
        scaledTarget = nullptr;
        setScreenFramebuffer(0);
    }
    SDL_GL_MakeCurrent(handle, nullptr);
    SDL_GL_DeleteContext(renderContext);
    renderContext = nullptr;
    Window::close();
}

void GLWindow::update() {
    Window::update();
    if (!open)
        return;
    if (scaledTarget)
        presentScaled();
    SDL_GL_SwapWindow(handle);
}

void GLWindow::startScaledPresentation() {
    if (scaledTarget)
        return;
    scaledTarget = new RenderTarget(renderWidth(), renderHeight(), true, 1, GL_RGBA8);
    setScreenFramebuffer(scaledTarget->framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, scaledTarget->framebuffer);
    glViewport(0, 0, renderWidth(), renderHeight());
}

void GLWindow::drawableSize(int& width, int& height) { SDL_GL_GetDrawableSize(handle, &width, &height); }

// Draws the offscreen picture into the window's drawable as one textured
// quad, as large as fits with the picture's aspect, black bars around it;
// leaves the GL state as it found it and the offscreen target bound for
// the next frame.
void GLWindow::presentScaled() {
    int drawableWidth = 0, drawableHeight = 0;
    SDL_GL_GetDrawableSize(handle, &drawableWidth, &drawableHeight);
    int64_t w = drawableWidth, h = w * frameHeight / frameWidth;
    if (h > drawableHeight) {
        h = drawableHeight;
        w = h * frameWidth / frameHeight;
    }

    glPushAttrib(GL_VIEWPORT_BIT | GL_COLOR_BUFFER_BIT | GL_ENABLE_BIT | GL_TEXTURE_BIT | GL_CURRENT_BIT);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glDisable(GL_SCISSOR_TEST);
    glViewport(0, 0, drawableWidth, drawableHeight);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glViewport(GLint((drawableWidth - w) / 2), GLint((drawableHeight - h) / 2), GLsizei(w), GLsizei(h));
    glActiveTexture(GL_TEXTURE0);
    glEnable(GL_TEXTURE_2D);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glBindTexture(GL_TEXTURE_2D, scaledTarget->colourTextures[0]->id);
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(-1.0f, -1.0f);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2f(1.0f, -1.0f);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2f(1.0f, 1.0f);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2f(-1.0f, 1.0f);
    glEnd();
    glBindTexture(GL_TEXTURE_2D, 0);
    // The saved colour-buffer state names the target's draw buffer: it is
    // restored with the target bound again.
    glBindFramebuffer(GL_FRAMEBUFFER, scaledTarget->framebuffer);
    glPopAttrib();
}
