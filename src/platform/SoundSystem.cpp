#include "platform/SoundSystem.h"

#include <mpg123.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/PathKind.h"
#include "platform/PlaybackClock.h"
#include "platform/SoundOutput.h"

namespace Sound {

class Stream {
public:
    mpg123_handle* decoder = nullptr;
    long rate = 0;
    int channels = 0;
    ~Stream() {
        if (decoder) {
            mpg123_close(decoder);
            mpg123_delete(decoder);
        }
    }
};

struct Channel::State {
    Stream* stream = nullptr;
    SoundOutput* output = nullptr;
    PlaybackClock* clock = nullptr;  // once the output is open
    bool ended = false;    // the output's thread's, or the seek's with the output locked
    bool started = false;  // silence until the channel plays: the same
    bool stopped = false;
    // The output is opened on a thread of its own, so that no wait for a
    // sound server holds the program's frames; until it is open the channel
    // stands at `frame`, paused or not, as the player left it.
    std::thread opener;
    std::atomic<bool> opened{false};
    uint64_t frame = 0;
    bool paused = false;
    int64_t offsetFrames = 0;

    void open(bool silent);
    PlaybackClock* ready();
    ~State() {
        if (opener.joinable())
            opener.join();  // its waits are bounded
        delete output;      // its thread ends before the clock goes
        delete clock;
    }
};

namespace {

// Runs on the output's thread with the output locked: decode what it asks
// for; after the end of the stream, silence.
void fill(void* user, int16_t* frames, int count) {
    Channel::State* state = static_cast<Channel::State*>(user);
    unsigned char* out = reinterpret_cast<unsigned char*>(frames);
    size_t bytes = size_t(count) * 2 * size_t(state->stream->channels), done = 0;
    while (state->started && !state->ended && done < bytes) {
        size_t got = 0;
        int result = mpg123_read(state->stream->decoder, out + done, bytes - done, &got);
        done += got;
        if (result == MPG123_NEW_FORMAT || (result == MPG123_OK && got > 0))
            continue;
        if (result != MPG123_OK || got == 0)
            state->ended = true;
    }
    if (done < bytes)
        std::memset(out + done, 0, bytes - done);
}

// The clock moves the music, the output locked; the first seek starts it.
void seek(void* user, uint64_t frame) {
    Channel::State* state = static_cast<Channel::State*>(user);
    off_t reached = mpg123_seek(state->stream->decoder, off_t(frame), SEEK_SET);
    state->ended = reached < 0 || reached < off_t(frame);
    state->started = true;
}

}  // namespace

void Channel::State::open(bool silent) {
    opener = std::thread([this, silent] {
        output = openSoundOutput(int(stream->rate), stream->channels, fill, this, silent);
        opened = true;
    });
}

// The clock, once the output is open: the music taken up where the channel
// stands, after whatever silence the output took before.
PlaybackClock* Channel::State::ready() {
    if (!clock && opened.load()) {
        opener.join();
        clock = new PlaybackClock(*output, int(stream->rate), offsetFrames, seek, this);
        clock->seek(frame);
        if (paused)
            clock->setPaused(true);
    }
    return clock;
}

Result System::create(System** system) {
    *system = new System;
    return Ok;
}

Result System::getVersion(unsigned* result) {
    *result = version;
    return Ok;
}

// The output is opened when something plays: a program that never plays
// (the capture tool) never reaches for a sound server.
Result System::init(int, unsigned, void*) {
    mpg123_init();
    audioUp = true;
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

Result System::createStream(const char* path, unsigned, void*, Stream** result) {
    *result = nullptr;
    if (!isFileOrDirectory(path))
        return ErrorFile;
    Stream* opened = new Stream;
    opened->decoder = mpg123_new(nullptr, nullptr);
    int encoding = 0;
    // The decoder keeps its complaints about a broken file to itself.
    if (opened->decoder)
        mpg123_param(opened->decoder, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    if (!opened->decoder || mpg123_open(opened->decoder, path) != MPG123_OK) {
        delete opened;
        return ErrorFile;
    }
    if (mpg123_getformat(opened->decoder, &opened->rate, &opened->channels, &encoding) != MPG123_OK ||
        opened->rate <= 0 || opened->channels <= 0) {
        delete opened;
        return ErrorFormat;
    }
    // Fix the output to 16-bit samples at the file's rate and channel count.
    mpg123_format_none(opened->decoder);
    mpg123_format(opened->decoder, opened->rate, opened->channels, MPG123_ENC_SIGNED_16);
    closeChannel();  // it may still be reading the stream this one replaces
    delete stream;
    stream = opened;
    *result = opened;
    return Ok;
}

Result System::playSound(int, Stream* sound, bool paused, Channel** result) {
    *result = nullptr;
    if (!audioUp || !sound || sound != stream)
        return ErrorInvalidHandle;
    closeChannel();
    Channel::State* state = new Channel::State;
    state->stream = sound;
    state->offsetFrames = int64_t(offsetMilliseconds) * sound->rate / 1000;
    state->paused = paused;
    state->open(outputType == OutputNoSound);
    channel = new Channel;
    channel->state = state;
    *result = channel;
    return Ok;
}

Result System::update() { return Ok; }

void System::closeChannel() {
    if (!channel)
        return;
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
    if (state->stopped)
        return ErrorInvalidHandle;
    if (PlaybackClock* clock = state->ready())
        clock->setPaused(paused);
    else
        state->paused = paused;
    return Ok;
}

Result Channel::stop() {
    if (state->stopped)
        return ErrorInvalidHandle;
    if (state->opener.joinable())
        state->opener.join();
    delete state->output;
    state->output = nullptr;
    delete state->clock;
    state->clock = nullptr;
    state->stopped = true;
    return Ok;
}

Result Channel::getPosition(unsigned* position, unsigned timeUnit) {
    if (state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    PlaybackClock* clock = state->ready();
    uint64_t frame = clock ? clock->position() : state->frame;
    *position = unsigned(frame * 1000 / uint64_t(state->stream->rate));
    return Ok;
}

Result Channel::setPosition(unsigned position, unsigned timeUnit) {
    if (state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    // Rounded up, so that the frame reads back as the same millisecond.
    uint64_t rate = uint64_t(state->stream->rate);
    uint64_t frame = (uint64_t(position) * rate + 999) / 1000;
    if (PlaybackClock* clock = state->ready())
        clock->seek(frame);
    else
        state->frame = frame;
    return Ok;
}

Result Channel::getConsumed(unsigned long long* frames, unsigned* bufferFrames) {
    if (state->stopped)
        return ErrorInvalidHandle;
    uint64_t given = state->frame, queued = 0;
    if (PlaybackClock* clock = state->ready())
        clock->given(&given, &queued);
    *frames = given;
    *bufferFrames = unsigned(queued);
    return Ok;
}

Result Channel::getOutput(const char** name, bool* onWallClock) {
    if (state->stopped)
        return ErrorInvalidHandle;
    PlaybackClock* clock = state->ready();
    *name = clock ? state->output->name() : nullptr;
    *onWallClock = clock && clock->onWallClock();
    return Ok;
}

}  // namespace Sound
