// The operating-system services of the application shell, in the browser.

#include <emscripten.h>

#include <cstdlib>
#include <cstring>

#include "Extensions.h"

#include "Sync.h"
#include "platform/GlibcRandom.h"
#include "platform/Platform.h"
#include "platform/web/WebPage.h"

// The page serves Data/ beside itself, and the program's files sit at /Data.
void enterProgramDirectory() {}

void showFatalError(const char* message) { tellPage("error", message ? message : ""); }

// The browser paces the frames; a frame must never block it.
void sleepMilliseconds(unsigned) {}

void silenceLibraries() {}

void keepFreedMemory() {}

// The render targets look up their completeness check; the rest of GL is
// linked in directly.
void* lookUpGLProcedure(const char* name) {
    if (std::strcmp(name, "glCheckFramebufferStatus") == 0)
        return reinterpret_cast<void*>(&glCheckFramebufferStatus);
    return nullptr;
}

uint32_t wallClockMilliseconds() { return uint32_t(uint64_t(emscripten_get_now())); }

void tellPage(const char* event, const char* detail) {
    // clang-format off
    EM_ASM({
        if (Module.velvoriaEvent) Module.velvoriaEvent(UTF8ToString($0), UTF8ToString($1));
    }, event, detail ? detail : "");
    // clang-format on
}

// The C runtime's srand and rand replaced by the GNU C library's generator,
// as on Windows: the sphere layout is the same picture everywhere.
namespace {
GlibcRandom runtimeRandom;
}

extern "C" void srand(unsigned seed) { runtimeRandom.seedWith(seed); }
extern "C" int rand(void) { return runtimeRandom.next(); }
