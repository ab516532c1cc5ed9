#include "platform/web/WebAudioOutput.h"

#include <emscripten.h>

#include <algorithm>
#include <cmath>

namespace {

// What only the page can do: start and stop the buffer source, read the
// context's clocks and state. The music is Module.velvoriaMusic's (page.js).
// clang-format off
EM_JS(double, webAudioMusicRate, (const char* path), {
    var music = Module.velvoriaMusic;
    var buffer = music && music.context && music.buffers[UTF8ToString(path)];
    return buffer ? buffer.sampleRate : 0;
});

// Plays the buffer from offset seconds on at the context's time `when`;
// stops what played before.
EM_JS(void, webAudioPlay, (const char* path, double when, double offset), {
    var music = Module.velvoriaMusic;
    if (music.source) music.source.stop();
    var source = music.context.createBufferSource();
    source.buffer = music.buffers[UTF8ToString(path)];
    source.connect(music.context.destination);
    source.start(when, Math.min(offset, source.buffer.duration));
    music.source = source;
});

EM_JS(void, webAudioStop, (), {
    var music = Module.velvoriaMusic;
    if (music.source) music.source.stop();
    music.source = null;
});

EM_JS(int, webAudioRuns, (), { return Module.velvoriaMusic.context.state === 'running' ? 1 : 0; });

// The context now: [running, currentTime, whether it gives output stamps,
// the stamp's contextTime and performanceTime, the latency it states]. The
// stamp and the latency are first asked for once the context has played
// `settle` seconds, and from then on at every read: Firefox measures its
// latency once, when first asked, and a stream that has only begun states a
// fraction of what it settles at.
EM_JS(void, webAudioClock, (double* out, double settle), {
    var music = Module.velvoriaMusic;
    var context = music.context;
    var at = out >> 3;
    if (context.state === 'running' && context.currentTime >= settle) music.settled = true;
    var running = context.state === 'running' && context.currentTime > 0 && music.settled === true;
    var stamp = running && context.getOutputTimestamp ? context.getOutputTimestamp() : null;
    HEAPF64[at] = running ? 1 : 0;
    HEAPF64[at + 1] = context.currentTime;
    HEAPF64[at + 2] = context.getOutputTimestamp ? 1 : 0;
    HEAPF64[at + 3] = stamp && stamp.contextTime || 0;
    HEAPF64[at + 4] = stamp && stamp.performanceTime || 0;
    HEAPF64[at + 5] = running ? context.outputLatency || context.baseLatency || 0 : 0;
});
// clang-format on

}  // namespace

struct WebAudioOutput::Clock {
    bool running;
    double now;  // the context's time, rendered so far as the page sees it
    bool stamps;
    double stampTime, stampAt;  // seconds, and performance.now() milliseconds
    double latency;

    // A stamp is the context's time heard at a moment; until the output has
    // really started, Chromium gives no moment (0) beside a small context
    // time.
    bool realStamp() const { return stampAt > 0 && stampTime >= 0; }
};

// performance.now(), the clock of the context's stamps and of the page.
int64_t SoundOutput::now() { return int64_t(std::llround(emscripten_get_now() * 1e6)); }

int WebAudioOutput::decodedRate(const char* path) { return int(webAudioMusicRate(path)); }

WebAudioOutput* WebAudioOutput::open(const char* path) {
    int rate = decodedRate(path);
    return rate > 0 ? new WebAudioOutput(path, rate) : nullptr;
}

WebAudioOutput::~WebAudioOutput() { webAudioStop(); }

uint64_t WebAudioOutput::frames(double seconds) const {
    return seconds > 0 ? uint64_t(std::llround(seconds * musicRate)) : 0;
}

WebAudioOutput::Clock WebAudioOutput::read() {
    double out[6];
    webAudioClock(out, settleSeconds);
    Clock clock{out[0] != 0, out[1], out[2] != 0, out[3], out[4], out[5]};
    if (!clock.stamps && clock.running) {
        // No stamps at all (an older browser): its context's time less the
        // latency it states, heard now.
        clock.stampTime = std::max(0.0, clock.now - clock.latency);
        clock.stampAt = emscripten_get_now();
    }
    if (clock.realStamp()) {
        // A real stamp keeps its moment until the next: one whose moment
        // moves on while its context time stands (Firefox's, performance.now()
        // less the latency) says no more than that its context time is heard
        // now, and now is when the page first saw it.
        if (clock.stampTime == lastStampTime && clock.stampAt != lastStampAt)
            movingStamps = true;
        if (clock.stampTime != lastStampTime)
            firstSeenAt = emscripten_get_now();
        lastStampTime = clock.stampTime;
        lastStampAt = clock.stampAt;
        if (movingStamps) {
            clock.stampAt = firstSeenAt;
            // Its latency is one reading of the sound server's fill, taken
            // at a moment of no meaning: cubeb has PulseAudio ask for a
            // quarter of the buffer at a time, so the fill swings over the
            // last quarter below the latency of what was just written, and
            // the reading falls short by an eighth on average.
            clock.stampTime -= clock.latency / 8;
        }
    }
    return clock;
}

bool WebAudioOutput::started() {
    Clock clock = read();
    return clock.running && clock.realStamp();
}

bool WebAudioOutput::contextRuns() { return webAudioRuns() != 0; }

// The buffer a moment ahead, from the frame the index will have reached
// since the cue.
void WebAudioOutput::play() {
    double when = read().now + startAheadSeconds;
    uint64_t at = std::max(frames(when), cuedAt);
    webAudioPlay(path.c_str(), double(at) / musicRate, double(cued + (at - cuedAt)) / musicRate);
}

void WebAudioOutput::setPaused(bool pause) {
    if (pause == paused)
        return;
    paused = pause;
    if (paused)
        webAudioStop();
    else
        play();
}

uint64_t WebAudioOutput::flush() {
    webAudioStop();
    cuedAt = frames(read().now + startAheadSeconds);
    if (!paused)
        play();
    return cuedAt;
}

bool WebAudioOutput::heard(Heard* heard) {
    Clock clock = read();
    if (!clock.running || !clock.realStamp())
        return false;
    heard->frames = frames(clock.stampTime);
    heard->at = int64_t(std::llround(clock.stampAt * 1e6));
    heard->playing = !paused;
    // Nothing is heard that the context has not made yet.
    heard->limit = frames(clock.now);
    return true;
}
