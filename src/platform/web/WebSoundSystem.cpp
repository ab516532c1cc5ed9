// The sound system in the browser, in the shape of the desktop's
// (platform/SoundSystem.cpp): a channel plays the music through the page's
// Web Audio (WebAudioOutput), and its position is the playback clock's
// (platform/PlaybackClock.h): the frame the listener hears now, smooth,
// never going back except by a seek, held after a seek until the sound from
// there is heard, standing still while paused, less the user's offset. Past
// the end of the music the position keeps advancing in real time, as the
// desktop channel plays silence.
// The channel stands at its start until the context runs and says when its
// sound is heard. A context that has not begun to run three seconds after the
// music was asked for has no sound output to run on (a browser without an
// audio device keeps it suspended; a busy machine's Firefox takes more than
// one second to open its own), nor one that runs and has not said when its
// sound is heard in nine: the music is dropped and the channel plays on the
// silent output, on the wall clock, as the desktop's does without a device.

#include <emscripten.h>

#include <cstdint>
#include <string>

#include "platform/PlaybackClock.h"
#include "platform/SilentOutput.h"
#include "platform/SoundSystem.h"
#include "platform/web/WebAudioOutput.h"

namespace Sound {

class Stream {
public:
    std::string path;
    int rate = 0;
};

struct Channel::State {
    int rate = 0;
    WebAudioOutput* web = nullptr;  // until the clock plays on another output
    SoundOutput* output = nullptr;  // the one the clock plays on
    PlaybackClock* clock = nullptr;
    int64_t askedAt = 0;  // when the music was asked for
    // Until the clock is there the channel stands at `frame`, paused or not,
    // as the player left it.
    uint64_t frame = 0;
    bool paused = false;
    bool stopped = false;
    int64_t offsetFrames = 0;

    PlaybackClock* ready();
    void close() {
        delete clock;
        clock = nullptr;
        if (output != web)
            delete output;
        output = nullptr;
        delete web;  // the music stops
        web = nullptr;
    }
    ~State() { close(); }
};

namespace {

Channel::State* playing = nullptr;  // the system's channel's, for the page's tests

// The clock moves the music: the next flush starts it at that frame.
void seek(void* user, uint64_t frame) {
    Channel::State* state = static_cast<Channel::State*>(user);
    if (state->web)
        state->web->cue(frame);
}

}  // namespace

// The clock, once the context plays (or it is given up): the music taken up
// where the channel stands.
PlaybackClock* Channel::State::ready() {
    if (clock || stopped || !web)
        return clock;
    int64_t waited = SoundOutput::now() - askedAt;
    if (web->started()) {
        output = web;
    } else if (waited > (web->contextRuns() ? 3 : 1) * soundOutputWaitNanoseconds) {
        emscripten_log(EM_LOG_WARN, "velvoria: the browser gives no sound output; the production plays without its music");
        delete web;
        web = nullptr;
        output = SilentOutput::open(rate, 2, nullptr, nullptr, 0, nullptr);
    } else {
        return nullptr;
    }
    clock = new PlaybackClock(*output, rate, offsetFrames, seek, this);
    if (output == web)
        clock->setReportSpread(WebAudioOutput::reportSpreadNanoseconds);
    clock->seek(frame);
    if (paused)
        clock->setPaused(true);
    return clock;
}

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
    int rate = path ? WebAudioOutput::decodedRate(path) : 0;
    if (rate <= 0)
        return ErrorFile;
    closeChannel();
    delete stream;
    stream = new Stream{path, rate};
    *result = stream;
    return Ok;
}

Result System::playSound(int, Stream* played, bool paused, Channel** result) {
    *result = nullptr;
    if (!played || played != stream || !audioUp)
        return ErrorInvalidHandle;
    closeChannel();
    Channel::State* state = new Channel::State;
    state->rate = played->rate;
    state->paused = paused;
    state->offsetFrames = int64_t(offsetMilliseconds) * played->rate / 1000;
    state->askedAt = SoundOutput::now();
    if (outputType == OutputNoSound)
        state->output = SilentOutput::open(played->rate, 2, nullptr, nullptr, 0, nullptr);
    else
        state->web = WebAudioOutput::open(played->path.c_str());
    if (state->output) {
        state->clock = new PlaybackClock(*state->output, state->rate, state->offsetFrames, seek, state);
        if (paused)
            state->clock->setPaused(true);
    }
    channel = new Channel();
    channel->state = state;
    playing = state;
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
    if (playing == channel->state)
        playing = nullptr;
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
    if (PlaybackClock* clock = state->ready())
        clock->setPaused(paused);
    else
        state->paused = paused;
    return Ok;
}

Result Channel::stop() {
    if (!state || state->stopped)
        return ErrorInvalidHandle;
    state->close();
    state->stopped = true;
    return Ok;
}

Result Channel::getPosition(unsigned* position, unsigned timeUnit) {
    if (!state || state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    PlaybackClock* clock = state->ready();
    uint64_t frame = clock ? clock->position() : state->frame;
    *position = unsigned(frame * 1000 / uint64_t(state->rate));
    return Ok;
}

Result Channel::setPosition(unsigned position, unsigned timeUnit) {
    if (!state || state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    // Rounded up, so that the frame reads back as the same millisecond.
    uint64_t frame = (uint64_t(position) * uint64_t(state->rate) + 999) / 1000;
    if (PlaybackClock* clock = state->ready())
        clock->seek(frame);
    else
        state->frame = frame;
    return Ok;
}

Result Channel::getConsumed(unsigned long long* frames, unsigned* bufferFrames) {
    if (!state || state->stopped)
        return ErrorInvalidHandle;
    uint64_t given = state->frame, queued = 0;
    if (PlaybackClock* clock = state->ready())
        clock->given(&given, &queued);
    *frames = given;
    *bufferFrames = unsigned(queued);
    return Ok;
}

Result Channel::getOutput(const char** name, bool* onWallClock) {
    if (!state || state->stopped)
        return ErrorInvalidHandle;
    PlaybackClock* clock = state->ready();
    *name = clock ? state->output->name() : nullptr;
    *onWallClock = clock && clock->onWallClock();
    return Ok;
}

}  // namespace Sound

// The position the program reads, in seconds (-1 without a channel), for
// the page's sync measurement (tests/avsync/browser.py), which samples it
// between the program's frames: a reading like the program's own.
extern "C" EMSCRIPTEN_KEEPALIVE double velvoria_music_position() {
    Sound::Channel::State* state = Sound::playing;
    if (!state || state->stopped)
        return -1.0;
    PlaybackClock* clock = state->ready();
    return double(clock ? clock->position() : state->frame) / state->rate;
}
