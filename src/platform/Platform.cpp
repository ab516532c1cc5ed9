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
    if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Fatal Error", text, nullptr) != 0)
        std::fprintf(stderr, "%s\n", text);
}

void sleepMilliseconds(unsigned milliseconds) { SDL_Delay(milliseconds); }

void* lookUpGLProcedure(const char* name) { return SDL_GL_GetProcAddress(name); }
