#include "platform/SoundSystem.h"

#include <mpg123.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

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
    PlaybackClock* clock = nullptr;
    bool ended = false;  // the output's thread's, or the seek's with the output locked
    bool stopped = false;

    ~State() {
        delete output;  // its thread ends before the clock goes
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
    while (!state->ended && done < bytes) {
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

// The clock moves the music, the output locked.
void seek(void* user, uint64_t frame) {
    Channel::State* state = static_cast<Channel::State*>(user);
    off_t reached = mpg123_seek(state->stream->decoder, off_t(frame), SEEK_SET);
    state->ended = reached < 0 || reached < off_t(frame);
}

}  // namespace

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
    state->output = openSoundOutput(int(sound->rate), sound->channels, fill, state, outputType == OutputNoSound);
    int64_t offsetFrames = int64_t(offsetMilliseconds) * sound->rate / 1000;
    state->clock = new PlaybackClock(*state->output, int(sound->rate), offsetFrames, seek, state);
    if (paused)
        state->clock->setPaused(true);
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
    state->clock->setPaused(paused);
    return Ok;
}

Result Channel::stop() {
    if (state->stopped)
        return ErrorInvalidHandle;
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
    *position = unsigned(state->clock->position() * 1000 / uint64_t(state->stream->rate));
    return Ok;
}

Result Channel::setPosition(unsigned position, unsigned timeUnit) {
    if (state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    // Rounded up, so that the frame reads back as the same millisecond.
    uint64_t rate = uint64_t(state->stream->rate);
    state->clock->seek((uint64_t(position) * rate + 999) / 1000);
    return Ok;
}

Result Channel::getConsumed(unsigned long long* frames, unsigned* bufferFrames) {
    if (state->stopped)
        return ErrorInvalidHandle;
    uint64_t given = 0, queued = 0;
    state->clock->given(&given, &queued);
    *frames = given;
    *bufferFrames = unsigned(queued);
    return Ok;
}

Result Channel::getOutput(const char** name, bool* onWallClock) {
    if (state->stopped)
        return ErrorInvalidHandle;
    *name = state->output->name();
    *onWallClock = state->clock->onWallClock();
    return Ok;
}

}  // namespace Sound
