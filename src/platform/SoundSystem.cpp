#include "platform/SoundSystem.h"

#include <SDL.h>
#include <mpg123.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/PathKind.h"
#include "platform/PulseOutput.h"

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
    // The output: the sound server's stream where one answers, else SDL's.
    PulseOutput* server = nullptr;
    SDL_AudioDeviceID device = 0;
    int frameBytes = 0;
    int bufferFrames = 0;
    bool ended = false;
    bool stopped = false;
    // Written by the audio thread with the output locked, read under the
    // same lock.
    uint64_t framesHanded = 0;
    uint64_t handedAt = 0;       // performance counter at the last hand-over
    // The main thread's own.
    bool paused = false;
    uint64_t heldFrames = 0;     // the position while paused
    uint64_t reportedFrames = 0; // the last position reported
    uint64_t reportedAt = 0;     // and when
    int64_t offsetFrames = 0;    // what reaches the listener later still
    uint64_t heardFrames = 0;    // the server's last word, and when
    uint64_t heardAt = 0;

    void lock() {
        if (server)
            server->lock();
        else
            SDL_LockAudioDevice(device);
    }
    void unlock() {
        if (server)
            server->unlock();
        else
            SDL_UnlockAudioDevice(device);
    }

    uint64_t framesSince(uint64_t tick) const {
        uint64_t ticks = SDL_GetPerformanceCounter() - tick;
        uint64_t second = SDL_GetPerformanceFrequency();
        return ticks / second * uint64_t(stream->rate) + ticks % second * uint64_t(stream->rate) / second;
    }

    // Frames heard by now, less the user's offset; 0 while not known. Output
    // locked.
    uint64_t playedNow() {
        uint64_t played = 0;
        if (server) {
            // What was handed over less what the server says is still on
            // its way to the output.
            uint64_t pending = 0;
            if (server->pendingFrames(&pending)) {
                heardFrames = framesHanded > pending ? framesHanded - pending : 0;
                heardAt = SDL_GetPerformanceCounter();
                played = heardFrames;
            } else if (!server->running()) {
                // The server went away: on the clock from its last word.
                played = heardFrames + framesSince(heardAt);
            }
        } else {
            // What the device consumed less its buffer, plus the time since
            // the last hand-over, at most one buffer; never more than the
            // device has been given: before its first request nothing has
            // played.
            uint64_t buffer = uint64_t(bufferFrames);
            uint64_t base = framesHanded > buffer ? framesHanded - buffer : 0;
            played = std::min(base + std::min(framesSince(handedAt), buffer), framesHanded);
        }
        if (offsetFrames >= 0)
            return played > uint64_t(offsetFrames) ? played - uint64_t(offsetFrames) : 0;
        return played + uint64_t(-offsetFrames);
    }
};

// Runs on the output's thread with the output locked: decode what it asks
// for; after the end of the stream, silence. Every frame handed over counts
// towards the position.
static void fill(void* user, Uint8* out, int bytes) {
    Channel::State* state = static_cast<Channel::State*>(user);
    int done = 0;
    while (!state->ended && done < bytes) {
        size_t got = 0;
        int result = mpg123_read(state->stream->decoder, out + done, size_t(bytes - done), &got);
        done += int(got);
        if (result == MPG123_NEW_FORMAT || (result == MPG123_OK && got > 0))
            continue;
        if (result != MPG123_OK || got == 0)
            state->ended = true;
    }
    if (done < bytes)
        std::memset(out + done, 0, size_t(bytes - done));
    state->framesHanded += uint64_t(bytes / state->frameBytes);
    state->handedAt = SDL_GetPerformanceCounter();
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
    Channel* opened = new Channel;
    opened->state = new Channel::State;
    Channel::State* state = opened->state;
    state->stream = sound;
    state->frameBytes = 2 * sound->channels;
    state->offsetFrames = int64_t(offsetMilliseconds) * sound->rate / 1000;
    state->paused = paused;

    state->heardAt = SDL_GetPerformanceCounter();
    state->server = PulseOutput::open(int(sound->rate), sound->channels, fill, state, paused);
    if (state->server) {
        closeChannel();
        channel = opened;
        *result = opened;
        return Ok;
    }
    if (!sdlAudioUp)
        sdlAudioUp = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    SDL_AudioSpec want;
    SDL_zero(want);
    want.freq = int(sound->rate);
    want.format = AUDIO_S16SYS;
    want.channels = Uint8(sound->channels);
    want.samples = 1024;
    want.callback = fill;
    want.userdata = state;
    SDL_AudioSpec have;
    state->device = sdlAudioUp ? SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0) : 0;
    if (!state->device) {
        delete state;
        delete opened;
        return ErrorOutput;
    }
    state->bufferFrames = have.samples;
    state->handedAt = SDL_GetPerformanceCounter();
    closeChannel();
    channel = opened;
    SDL_PauseAudioDevice(state->device, paused ? 1 : 0);
    *result = opened;
    return Ok;
}

Result System::update() { return Ok; }

void System::closeChannel() {
    if (!channel)
        return;
    if (channel->state->device)
        SDL_CloseAudioDevice(channel->state->device);
    delete channel->state->server;
    delete channel->state;
    delete channel;
    channel = nullptr;
}

Result System::release() {
    closeChannel();
    delete stream;
    if (sdlAudioUp)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    delete this;
    return Ok;
}

Result Channel::setPaused(bool paused) {
    if (state->stopped)
        return ErrorInvalidHandle;
    if (paused == state->paused)
        return Ok;
    state->lock();
    if (paused) {
        state->heldFrames = std::max(state->playedNow(), state->reportedFrames);
    } else if (state->server) {
        // What the server holds plays on from where it stopped.
        state->reportedFrames = state->heldFrames;
    } else {
        // Go on from the held position as if a buffer had just been handed
        // over: no jump for the time spent paused.
        state->framesHanded = state->heldFrames + uint64_t(state->bufferFrames);
        state->handedAt = SDL_GetPerformanceCounter();
        state->reportedFrames = state->heldFrames;
    }
    state->paused = paused;
    if (state->server)
        state->server->setPaused(paused);
    state->unlock();
    if (!state->server)
        SDL_PauseAudioDevice(state->device, paused ? 1 : 0);
    return Ok;
}

Result Channel::stop() {
    if (state->stopped)
        return ErrorInvalidHandle;
    if (state->device)
        SDL_CloseAudioDevice(state->device);
    state->device = 0;
    delete state->server;
    state->server = nullptr;
    state->stopped = true;
    return Ok;
}

Result Channel::getPosition(unsigned* position, unsigned timeUnit) {
    if (state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    uint64_t played = state->heldFrames;
    if (!state->paused) {
        state->lock();
        uint64_t heard = state->playedNow();
        if (state->server && state->reportedAt) {
            // The server's reports come now and then, each a little off
            // the last one's course: a step ahead is taken up at 1 ms a
            // poll beyond the time between polls, so the picture never
            // jumps.
            uint64_t most = state->reportedFrames + state->framesSince(state->reportedAt) +
                            uint64_t(state->stream->rate) / 1000;
            heard = std::min(heard, most);
        }
        played = std::max(heard, state->reportedFrames);
        state->unlock();
    }
    state->reportedFrames = played;
    state->reportedAt = SDL_GetPerformanceCounter();
    *position = unsigned(played * 1000 / uint64_t(state->stream->rate));
    return Ok;
}

Result Channel::setPosition(unsigned position, unsigned timeUnit) {
    if (state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    // Rounded up, so that the frame reads back as the same millisecond.
    uint64_t rate = uint64_t(state->stream->rate);
    uint64_t frame = (uint64_t(position) * rate + 999) / 1000;
    state->lock();
    off_t reached = mpg123_seek(state->stream->decoder, off_t(frame), SEEK_SET);
    state->ended = reached < 0 || reached < off_t(frame);
    state->framesHanded = frame + uint64_t(state->bufferFrames);
    state->handedAt = SDL_GetPerformanceCounter();
    if (state->server) {
        // What was queued from before the seek goes; what the server asks
        // for while the flush is on its way is already from the new place,
        // and plays after it. Until the server has told where its output
        // stands again, the position holds at the target.
        state->framesHanded = frame;
        state->server->flush();
    }
    state->heldFrames = frame;
    state->reportedFrames = frame;
    state->unlock();
    return Ok;
}

Result Channel::getConsumed(unsigned long long* frames, unsigned* bufferFrames) {
    if (state->stopped)
        return ErrorInvalidHandle;
    state->lock();
    *frames = state->framesHanded;
    state->unlock();
    *bufferFrames = unsigned(state->bufferFrames);
    return Ok;
}

}  // namespace Sound
