#include "Renderer.h"

#include <chrono>

volatile sig_atomic_t stopSignal = 0;

namespace {

void stop(int signal) { stopSignal = signal; }

}  // namespace

void catchStopSignals() {
#ifndef _WIN32
    // Not restarted: a wait for ffmpeg returns at the signal.
    struct sigaction action = {};
    action.sa_handler = stop;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &action, nullptr);
#else
    (void)stop;
#endif
}

int endByStopSignal(int status) {
    if (stopSignal) {
        std::signal(stopSignal, SIG_DFL);
        std::raise(stopSignal);
    }
    return status;
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// A supersampled frame is read whole and each N x N block averaged into one
// pixel: a box filter, which is exact for the whole-number ratios it is
// used at.
void readFrame(Renderer& r, GLenum format, int channels, std::vector<unsigned char>& pixels) {
    int n = r.supersample, w = r.width * n, h = r.height * n;
    std::vector<unsigned char>& whole = n == 1 ? pixels : r.rendered;
    whole.resize(size_t(w) * h * channels);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, format, GL_UNSIGNED_BYTE, whole.data());
    if (n == 1)
        return;
    pixels.resize(size_t(r.width) * r.height * channels);
    const unsigned area = unsigned(n * n);
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            for (int c = 0; c < channels; ++c) {
                unsigned sum = 0;
                for (int dy = 0; dy < n; ++dy) {
                    const unsigned char* row = &whole[(size_t(y * n + dy) * w + size_t(x) * n) * channels + c];
                    for (int dx = 0; dx < n; ++dx)
                        sum += row[dx * channels];
                }
                pixels[(size_t(y) * r.width + x) * channels + c] = static_cast<unsigned char>((sum + area / 2) / area);
            }
}
