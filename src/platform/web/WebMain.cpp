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
// While playing, the canvas's drawing buffer is the largest 16:9 picture in
// the element's size in device pixels, up to 3840x2160 (as the desktop's
// --native); it is chosen at the start and again, between two frames, once
// a new size has held for a moment. "--size WxH" (the page's &size=) renders
// at that size instead, still or playing, and "--size native" a still frame
// at the element's size; "--check-gl-errors" (#glcheck) reads GL's error
// state after every frame.

#include <emscripten.h>
#include <emscripten/html5.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "Demo.h"
#include "FixedAudio.h"
#include "FrameSize.h"
#include "Screen.h"
#include "Sync.h"
#include "platform/Platform.h"
#include "platform/web/WebPage.h"

namespace {

FixedAudio still;  // the clock of a single frame
Demo* demo = nullptr;
bool stopRequested = false;
bool fixedSize = false;  // --size or --at: the canvas keeps its size

// A size the canvas element asked for, applied once it has held this long:
// a window being dragged does not remake the targets every frame.
constexpr double settleMilliseconds = 250.0;
int pendingWidth = 0, pendingHeight = 0;
double pendingSince = 0.0;

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

// The largest 16:9 picture in the canvas element's size in device pixels,
// from 640x360 up to 3840x2160, as the desktop's --native picks it.
void nativeSize(int& width, int& height) {
    double cssWidth = 0.0, cssHeight = 0.0;
    emscripten_get_element_css_size("#canvas", &cssWidth, &cssHeight);
    double ratio = emscripten_get_device_pixel_ratio();
    fitFrame(int(std::lround(cssWidth * ratio)), int(std::lround(cssHeight * ratio)), 360, width, height);
}

// The canvas's drawing buffer and the viewport follow the render size.
void fitCanvas() {
    emscripten_set_canvas_element_size("#canvas", renderWidth(), renderHeight());
    glViewport(0, 0, renderWidth(), renderHeight());
}

// Between two frames: the picture follows the element's size once that has
// settled.
void followElementSize() {
    if (fixedSize)
        return;
    int w = 0, h = 0;
    nativeSize(w, h);
    if (w == renderWidth() && h == renderHeight()) {
        pendingWidth = pendingHeight = 0;
        return;
    }
    double now = emscripten_get_now();
    if (w != pendingWidth || h != pendingHeight) {
        pendingWidth = w;
        pendingHeight = h;
        pendingSince = now;
    }
    if (now - pendingSince < settleMilliseconds)
        return;
    demo->resize(w, h);
    fitCanvas();
    pendingWidth = pendingHeight = 0;
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
    if (!guarded([&] {
            followElementSize();
            more = demo->tick();
        }))
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
    return true;
}

// The page's #at= and &size=, checked as the capture tool checks its own.
bool parseTime(const char* text, double& at) {
    char* end = nullptr;
    at = std::strtod(text, &end);
    return end != text && *end == 0 && at >= 0.0 && at < Demo::endTime;
}

// The value as the message quotes it: the start of it when it is long.
std::string quoted(const char* text) {
    std::string value(text);
    return value.size() > 24 ? value.substr(0, 24) + "..." : value;
}

}  // namespace

extern "C" {

// The start button: the page has resumed its audio context in the click.
EMSCRIPTEN_KEEPALIVE void velvoria_start() {
    if (demo)
        return;
    stopRequested = false;
    if (guarded([] {
            demo = new Demo(Demo::Music::On);
            if (!fixedSize) {
                int w = 0, h = 0;
                nativeSize(w, h);
                demo->resize(w, h);
            }
            fitCanvas();
        }))
        emscripten_request_animation_frame_loop(playFrame, nullptr);
}

// Escape: the production ends at the next frame.
EMSCRIPTEN_KEEPALIVE void velvoria_stop() { stopRequested = true; }

}  // extern "C"

int main(int argc, char** argv) {
    double at = -1.0;
    int width = 0, height = 0;
    bool native = false;
    for (int i = 1; i < argc; ++i) {
        std::string message;
        if (std::strcmp(argv[i], "--check-gl-errors") == 0) {
            Demo::checkErrorsEveryFrame = true;
        } else if (std::strcmp(argv[i], "--at") == 0 && i + 1 < argc) {
            if (!parseTime(argv[++i], at))
                message = "#at=" + quoted(argv[i]) + ": not a time in seconds from 0 to under 64";
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            if (std::strcmp(argv[++i], "native") == 0)
                native = true;
            else if (!parseFrameSize(argv[i], width, height))
                message = "size=" + quoted(argv[i]) +
                          ": not native, nor a 16:9 size with even sides from 640x360 to 3840x2160 (such as "
                          "1920x1080)";
        } else {
            message = std::string("unknown argument ") + quoted(argv[i]);
        }
        if (!message.empty()) {
            showFatalError(message.c_str());
            return 0;
        }
    }
    if (!makeContext(at >= 0.0))
        return 0;
    // A still frame is 1280x720 and the production follows the element's
    // size, unless a size is given ("native": the element's).
    fixedSize = width > 0 || (at >= 0.0 && !native);
    if (!fixedSize)
        nativeSize(width, height);
    if (width > 0)
        setRenderSize(width, height);
    fitCanvas();
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
