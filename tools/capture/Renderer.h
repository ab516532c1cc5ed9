#pragma once

#include <csignal>
#include <vector>

#include "Demo.h"
#include "Extensions.h"
#include "FixedAudio.h"
#include "Window.h"

// The one rendering loop of every mode, and the signals that stop it.

// Set by SIGINT, SIGTERM or SIGHUP once catchStopSignals has run (POSIX):
// the run ends after the frame in hand.
extern volatile sig_atomic_t stopSignal;
void catchStopSignals();
// Ends the process by the signal that stopped it, as the one who sent it
// expects (130 for SIGINT, 143 for SIGTERM in a shell); otherwise status.
int endByStopSignal(int status);

// Milliseconds of a steady clock.
double nowMs();

// What every mode renders with: the demo's own objects, clocked by a player
// that stands at each frame's time, and the size of the frames it hands on.
struct Renderer {
    Window& window;
    FixedAudio& player;
    Demo& demo;
    int width, height;  // of the frames read back
    int supersample;    // rendered this many times larger each way
    std::vector<unsigned char> rendered;  // a supersampled frame, whole
};

// The frame just drawn, bottom row first as GL gives it, averaged down to
// the frame's size where it was supersampled.
void readFrame(Renderer& r, GLenum format, int channels, std::vector<unsigned char>& pixels);

// Frame k shows demo time timeOf(k) and is handed, drawn and finished, to
// use(k, milliseconds its tick took) before it is presented. Stops early
// when use() says so or a stop signal came; true when every frame was used.
template <typename TimeOf, typename Use>
bool render(Renderer& r, long count, TimeOf timeOf, Use use) {
    for (long k = 0; k < count; ++k) {
        if (stopSignal)
            return false;
        r.player.setPosition(timeOf(k));
        glFinish();
        double start = nowMs();
        r.demo.tick();
        glFinish();
        if (stopSignal || !use(k, nowMs() - start))
            return false;
        r.window.update();
    }
    return true;
}
