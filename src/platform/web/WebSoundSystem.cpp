// The sound system in the browser: the music plays through WebAudio from a
// buffer the page decoded while it loaded (decodeAudioData does the MP3), and
// a channel's position is what the listener hears now: the audio context's
// output timestamp, moved on by the time since it was taken, so it advances
// smoothly between the context's audio blocks and never goes back except by
// a seek. Past the end of the music the position keeps advancing in real
// time, as the desktop channel plays silence.
// A context that has not run three seconds after the music started has no
// sound output to run on (a browser without an audio device keeps it
// suspended; a busy machine's Firefox takes more than one to open its own):
// the music is dropped and the position runs on the wall clock, as the
// desktop's clock does without a device. A context that ran and was
// suspended later (a phone's background tab) is waited for: the music's
// clock leads.

#include <emscripten.h>

#include <algorithm>
#include <string>

#include "platform/SoundSystem.h"

namespace {

// clang-format off
EM_JS(int, musicDecoded, (const char* path), {
    var music = Module.velvoriaMusic;
    return music && music.context && music.buffers[UTF8ToString(path)] ? 1 : 0;
});

// Plays the decoded file from offset seconds on; stops what played before.
EM_JS(void, musicStart, (const char* path, double offset), {
    var music = Module.velvoriaMusic;
    if (music.source) music.source.stop();
    var source = music.context.createBufferSource();
    source.buffer = music.buffers[UTF8ToString(path)];
    source.connect(music.context.destination);
    var when = music.context.currentTime;
    source.start(when, Math.min(offset, source.buffer.duration));
    music.source = source;
    music.origin = when - offset;
    music.held = null;
    music.last = offset;
    music.from = offset;
    music.smoothAt = null;
    music.started = performance.now();
    music.ran = music.context.state === 'running';
    music.wall = null;
});

EM_JS(void, musicHold, (double position), {
    var music = Module.velvoriaMusic;
    if (music.source) music.source.stop();
    music.source = null;
    music.held = position;
});

EM_JS(double, musicPosition, (), {
    var music = Module.velvoriaMusic;
    if (music.held !== null) return music.held;
    var context = music.context;
    if (context.state === 'running') music.ran = true;
    if (!music.ran && music.wall === null && performance.now() - music.started > 3000) {
        console.warn('velvoria: the browser gives no sound output; the production plays without its music');
        if (music.source) music.source.stop();
        music.source = null;
        music.wall = performance.now() - music.last * 1000;
    }
    if (music.wall !== null) {
        music.last = Math.max(music.last, (performance.now() - music.wall) / 1000);
        return music.last;
    }
    var now = context.currentTime - (context.outputLatency || context.baseLatency || 0);
    if (context.getOutputTimestamp) {
        // A stamp is the context's time heard at a moment of the page's
        // clock. Until the output has really started, Chromium answers
        // with no moment (performanceTime 0) beside a small context time:
        // taken as a stamp, that would make the page's age the position.
        var stamp = context.getOutputTimestamp();
        if (stamp.performanceTime > 0 && stamp.contextTime >= 0)
            now = stamp.contextTime + Math.max(0, performance.now() - stamp.performanceTime) / 1000;
    }
    // Nothing is heard that the context has not made yet.
    var reported = Math.min(now, context.currentTime) - music.origin;
    // Some browsers (Firefox) move the context's time in blocks of up to a
    // tenth of a second as the page sees it: between readings the position
    // moves on with the page's clock, drawn toward the reported one within
    // about half a second; a jump (a seek, a drop-out) is followed at once.
    // It is never more than a little ahead of the reported position, and
    // not at all before the sound from the start point is heard.
    var at = performance.now() / 1000;
    var position = reported;
    if (music.smoothAt !== null) {
        var predicted = music.smooth + (at - music.smoothAt);
        if (Math.abs(reported - predicted) < 0.15)
            position = predicted + (reported - predicted) * Math.min(1, (at - music.smoothAt) / 0.5);
    }
    position = Math.min(position, reported + (reported > music.from ? 0.05 : 0));
    music.smooth = position;
    music.smoothAt = at;
    music.last = Math.max(music.last, position);
    return Math.max(0, music.last);
});
// clang-format on

}  // namespace

namespace Sound {

class Stream {
public:
    std::string path;
};

struct Channel::State {
    std::string path;
    bool paused = false;
    bool stopped = false;
    int offset = 0;  // milliseconds the sound reaches the listener later than the context says
};

Result System::create(System** system) {
    *system = new System();
    return Ok;
}

Result System::getVersion(unsigned* result) {
    *result = version;
    return Ok;
}

Result System::init(int, unsigned, void*) {
    audioUp = true;
    return Ok;
}

Result System::createStream(const char* path, unsigned, void*, Stream** result) {
    *result = nullptr;
    if (!path || !musicDecoded(path))
        return ErrorFile;
    delete stream;
    stream = new Stream{path};
    *result = stream;
    return Ok;
}

Result System::playSound(int, Stream* played, bool paused, Channel** result) {
    *result = nullptr;
    if (!played || !audioUp)
        return ErrorInvalidHandle;
    closeChannel();
    channel = new Channel();
    channel->state = new Channel::State{played->path, paused, false, offsetMilliseconds};
    if (paused)
        musicHold(0.0);
    else
        musicStart(played->path.c_str(), 0.0);
    *result = channel;
    return Ok;
}

Result System::setOutput(OutputType output) {
    outputType = output;
    return Ok;
}

Result System::setOutputOffset(int milliseconds) {
    offsetMilliseconds = milliseconds;
    return Ok;
}

Result System::update() { return Ok; }

void System::closeChannel() {
    if (!channel)
        return;
    channel->stop();
    delete channel->state;
    delete channel;
    channel = nullptr;
}

Result System::release() {
    closeChannel();
    delete stream;
    delete this;
    return Ok;
}

Result Channel::setPaused(bool paused) {
    if (!state || state->stopped)
        return ErrorInvalidHandle;
    if (paused && !state->paused)
        musicHold(musicPosition());
    else if (!paused && state->paused)
        musicStart(state->path.c_str(), musicPosition());
    state->paused = paused;
    return Ok;
}

Result Channel::stop() {
    if (!state || state->stopped)
        return ErrorInvalidHandle;
    musicHold(musicPosition());
    state->stopped = true;
    return Ok;
}

Result Channel::getPosition(unsigned* position, unsigned timeUnit) {
    if (!state || state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    double heard = musicPosition() * 1000.0;
    // A held position is the one set; a playing one is heard the offset later.
    if (!state->paused)
        heard = std::max(0.0, heard - state->offset);
    *position = unsigned(heard);
    return Ok;
}

Result Channel::setPosition(unsigned position, unsigned timeUnit) {
    if (!state || state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    if (state->paused)
        musicHold(position / 1000.0);
    else
        musicStart(state->path.c_str(), position / 1000.0);
    return Ok;
}

Result Channel::getOutput(const char** name, bool* onWallClock) {
    if (!state || state->stopped)
        return ErrorInvalidHandle;
    *name = "Web Audio";
    *onWallClock = false;
    return Ok;
}

}  // namespace Sound
