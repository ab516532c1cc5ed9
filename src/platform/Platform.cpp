#include "platform/Platform.h"

#include <SDL.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "platform/GlibcRandom.h"
#else
#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
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

#if !defined(_WIN32) && defined(__linux__)
namespace {

pid_t boxParent = 0;

// SDL's X11 box runs in a child process of its own while the program waits
// for it. Killed in that wait, the program would leave the box behind; the
// child is told to die with it.
void dieWithParent() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != boxParent)
        _exit(1);  // the parent was gone before the request took hold
}

}  // namespace
#endif

void showFatalError(const char* message) {
    const char* text = message ? message : "";
#ifdef _WIN32
    // The system's own box, as everywhere else on Windows.
    if (MessageBoxA(nullptr, text, "Fatal Error", MB_OK | MB_ICONERROR | MB_SETFOREGROUND) == 0)
        std::fprintf(stderr, "%s\n", text);
#else
#ifdef __linux__
    boxParent = getpid();
    static bool registered = pthread_atfork(nullptr, nullptr, dieWithParent) == 0;
    (void)registered;
#endif
    // A video device of another driver than X11 goes first: with it still
    // up, SDL's X11 box centres itself on the device's first display through
    // that display's X11 data, which such a device (offscreen, say) does not
    // have, and the box's process crashes. An X11 device stays: closing the
    // program's last connections would make an X server that has no other
    // client reset itself, and the box's own connection, made a moment
    // later, would find it deaf.
    const char* driver = SDL_GetCurrentVideoDriver();
    if (!driver || std::strcmp(driver, "x11") != 0)
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
    // A server that is resetting for another client's sake is asked again.
    Uint32 start = SDL_GetTicks();
    for (Uint32 pause = 20;; pause = pause < 320 ? pause * 2 : pause) {
        if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Fatal Error", text, nullptr) == 0)
            return;
        if (SDL_GetTicks() - start >= displayRetryMilliseconds || !displayServerListening())
            break;
        SDL_Delay(pause);
    }
    std::fprintf(stderr, "%s\n", text);
#endif
}

bool displayServerListening() {
#ifdef _WIN32
    return true;
#else
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        return wayland && *wayland;
    }
    // A local X display (":N", "unix:N", ":N.S") listens on its socket in
    // /tmp/.X11-unix; one elsewhere cannot be told from here.
    std::string name = display;
    if (name.compare(0, 5, "unix:") == 0)
        name.erase(0, 4);
    if (name.empty() || name[0] != ':')
        return true;
    std::string number = name.substr(1, name.find('.') - 1);
    return access(("/tmp/.X11-unix/X" + number).c_str(), F_OK) == 0;
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
