#include "platform/Platform.h"

#include <SDL.h>

#include <cstdarg>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>

#include "platform/GlibcRandom.h"
#else
#include <dlfcn.h>
#include <malloc.h>
#include <unistd.h>
#endif

void enterProgramDirectory() {
    char* base = SDL_GetBasePath();
    if (base) {
#ifdef _WIN32
        if (!SetCurrentDirectoryA(base))
            std::fprintf(stderr, "%s: cannot enter the directory\n", base);
#else
        if (chdir(base) != 0)
            std::perror(base);
#endif
        SDL_free(base);
    }
}

void showFatalError(const char* message) {
    const char* text = message ? message : "";
#ifdef _WIN32
    // The system's own box, as everywhere else on Windows.
    if (MessageBoxA(nullptr, text, "Fatal Error", MB_OK | MB_ICONERROR | MB_SETFOREGROUND) == 0)
        std::fprintf(stderr, "%s\n", text);
#else
    // The video goes first. With it still up, SDL's X11 box centres itself
    // on the video device's first display through that display's X11 data,
    // which a device of another driver (offscreen, say) does not have: the
    // box's process crashes. Without a video device the box finds its own
    // display, and whatever the windows were made with no longer matters.
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Fatal Error", text, nullptr) != 0)
        std::fprintf(stderr, "%s\n", text);
#endif
}

void sleepMilliseconds(unsigned milliseconds) { SDL_Delay(milliseconds); }

#ifdef _WIN32

// Windows has no noisy sound or display libraries to quiet.
void silenceLibraries() {}

void keepFreedMemory() {}

// The C runtime's srand and rand, replaced by the GNU C library's generator:
// the sphere layout is the same picture on every platform.
namespace {
GlibcRandom runtimeRandom;
}

extern "C" void __cdecl srand(unsigned seed) { runtimeRandom.seedWith(seed); }
extern "C" int __cdecl rand(void) { return runtimeRandom.next(); }

#else

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

void keepFreedMemory() {
    // glibc gives the free top of a heap back once it passes 128 KB. Mesa's
    // software renderer frees megabytes at the end of a frame and takes them
    // again for the next, so every frame faulted them in anew: at 20 s about
    // 2,400 page faults and 140 ms a frame, against 50 and 90 ms with the
    // memory kept. Fixing that threshold also fixes glibc's threshold for
    // serving a block by its own mapping, which otherwise grows with the
    // blocks freed; left at 128 KB, every decoded image and texture was
    // mapped, faulted in and unmapped again, and start-up took 0.2 s longer.
    // The process's peak size barely changes; it only stops shrinking.
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);  // glibc's largest
}

#endif

void* lookUpGLProcedure(const char* name) { return SDL_GL_GetProcAddress(name); }
