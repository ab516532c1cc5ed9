#include "platform/Platform.h"

#include <SDL.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

void enterProgramDirectory() {
    char* base = SDL_GetBasePath();
    if (base) {
        if (chdir(base) != 0)
            std::perror(base);
        SDL_free(base);
    }
}

void showFatalError(const char* message) {
    const char* text = message ? message : "";
    // The video goes first. With it still up, SDL's X11 box centres itself
    // on the video device's first display through that display's X11 data,
    // which a device of another driver (offscreen, say) does not have: the
    // box's process crashes. Without a video device the box finds its own
    // display, and whatever the windows were made with no longer matters.
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Fatal Error", text, nullptr) != 0)
        std::fprintf(stderr, "%s\n", text);
}

void sleepMilliseconds(unsigned milliseconds) { SDL_Delay(milliseconds); }

namespace {

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}
void ignoreWaylandLog(const char*, va_list) {}

// Hands a handler to a library's error hook, if the library is there. The
// library stays loaded, so SDL, which loads it by the same name, gets the
// same instance with the handler in place.
template <typename Handler>
void setHandler(const char* library, const char* hook, Handler handler) {
    void* loaded = dlopen(library, RTLD_LAZY | RTLD_LOCAL);
    if (!loaded)
        return;
    if (void* set = dlsym(loaded, hook))
        reinterpret_cast<void (*)(Handler)>(set)(handler);
}

}  // namespace

void silenceLibraries() {
    // ALSA reports every card it cannot find; Wayland a missing runtime
    // directory. Both while SDL merely probes for a device that may not be.
    setHandler("libasound.so.2", "snd_lib_error_set_handler", &ignoreAlsaError);
    setHandler("libwayland-client.so.0", "wl_log_set_handler_client", &ignoreWaylandLog);
}

void* lookUpGLProcedure(const char* name) { return SDL_GL_GetProcAddress(name); }
