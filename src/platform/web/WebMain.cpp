// The production in a browser tab. The page (page/index.html) loads this
// program with Data/ preloaded and the music decoded, then:
//   index.html#at=T  the program is started with "--at T": it renders the
//                    frame of demo time T once, on a 1280x720 canvas, and
//                    says "ready" once it is there;
//   index.html       the program builds everything (and draws one frame,
//                    unseen, so the browser has compiled every program) and
//                    says "loaded"; the start button calls velvoria_start,
//                    which plays the production with its music, one frame
//                    per animation frame, until 64 s or velvoria_stop.

#include <emscripten.h>
#include <emscripten/html5.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "Demo.h"
#include "FixedAudio.h"
#include "Screen.h"
#include "Sync.h"
#include "platform/Platform.h"
#include "platform/web/WebPage.h"

namespace {

FixedAudio still;  // the clock of a single frame
Demo* demo = nullptr;
bool stopRequested = false;

void fail(const char* message) {
    delete demo;
    demo = nullptr;
    showFatalError(message);
}

// Runs one step of the production; a fatal condition ends it with the
// message, as the desktop program's fatal box does. False then.
template <typename Step>
bool guarded(Step step) {
    try {
        step();
        return true;
    } catch (const Quib::Exception& e) {
        fail(e.getMessage().cStr() ? e.getMessage().cStr() : "");
    } catch (const std::exception& e) {
        std::string message = std::string("Unexpected error: ") + e.what();
        fail(message.c_str());
    }
    return false;
}

void clearCanvas() {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
}

EM_BOOL announceStill(double, void*) {
    tellPage("ready");
    return EM_FALSE;
}

// The frame is drawn in an animation frame of its own and announced in the
// next one, when the browser has put it on the canvas.
EM_BOOL drawStill(double, void*) {
    if (guarded([] { demo->tick(); }))
        emscripten_request_animation_frame(announceStill, nullptr);
    return EM_FALSE;
}

void finish() {
    delete demo;  // the player goes with it, and the music stops
    demo = nullptr;
    clearCanvas();
    tellPage("ended");
}

EM_BOOL playFrame(double, void*) {
    if (!demo)
        return EM_FALSE;
    if (stopRequested) {
        finish();
        return EM_FALSE;
    }
    bool more = true;
    if (!guarded([&] { more = demo->tick(); }))
        return EM_FALSE;
    if (!more) {
        finish();
        return EM_FALSE;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", Sync::instance().getTime());
    tellPage("playing", seconds);
    return EM_TRUE;
}

bool makeContext(bool keepFrame) {
    EmscriptenWebGLContextAttributes attributes;
    emscripten_webgl_init_context_attributes(&attributes);
    attributes.majorVersion = 2;
    attributes.minorVersion = 0;
    attributes.alpha = EM_FALSE;
    attributes.depth = EM_FALSE;  // the targets have their own
    attributes.stencil = EM_FALSE;
    attributes.antialias = EM_FALSE;
    attributes.powerPreference = EM_WEBGL_POWER_PREFERENCE_HIGH_PERFORMANCE;
    // A still frame stays readable after it has been shown.
    attributes.preserveDrawingBuffer = keepFrame ? EM_TRUE : EM_FALSE;
    EMSCRIPTEN_WEBGL_CONTEXT_HANDLE context = emscripten_webgl_create_context("#canvas", &attributes);
    if (context <= 0) {
        showFatalError("This browser cannot show Velvoria: it has no WebGL 2 (or it is switched off). "
                       "Velvoria needs a browser with WebGL 2, such as a current Firefox, Chrome, Edge or Safari.");
        return false;
    }
    emscripten_webgl_make_context_current(context);
    if (!emscripten_webgl_enable_extension(context, "EXT_color_buffer_float")) {
        showFatalError("This browser's WebGL 2 cannot render into floating-point images "
                       "(EXT_color_buffer_float), which Velvoria needs.");
        return false;
    }
    emscripten_set_canvas_element_size("#canvas", frameWidth, frameHeight);
    return true;
}

}  // namespace

extern "C" {

// The start button: the page has resumed its audio context in the click.
EMSCRIPTEN_KEEPALIVE void velvoria_start() {
    if (demo)
        return;
    stopRequested = false;
    if (guarded([] { demo = new Demo(Demo::Music::On); }))
        emscripten_request_animation_frame_loop(playFrame, nullptr);
}

// Escape: the production ends at the next frame.
EMSCRIPTEN_KEEPALIVE void velvoria_stop() { stopRequested = true; }

}  // extern "C"

int main(int argc, char** argv) {
    double at = -1.0;
    if (argc == 3 && std::strcmp(argv[1], "--at") == 0) {
        char* end = nullptr;
        at = std::strtod(argv[2], &end);
        if (end == argv[2] || *end != 0 || !(at >= 0.0)) {
            showFatalError("#at= needs a time in seconds, 0 or more");
            return 0;
        }
    }
    if (!makeContext(at >= 0.0))
        return 0;
    if (at >= 0.0) {
        if (guarded([at] {
                demo = new Demo(&still);
                still.setPosition(at);
            }))
            emscripten_request_animation_frame(drawStill, nullptr);
        return 0;
    }
    // Everything is built (and used once) while the page still loads; the
    // production the button starts finds it made.
    if (guarded([] {
            Demo warm(&still);
            warm.tick();
        })) {
        clearCanvas();
        tellPage("loaded");
    }
    return 0;
}
