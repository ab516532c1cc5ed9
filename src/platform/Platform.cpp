#include "platform/Platform.h"

#include <SDL.h>
#include <unistd.h>

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

void* lookUpGLProcedure(const char* name) { return SDL_GL_GetProcAddress(name); }
