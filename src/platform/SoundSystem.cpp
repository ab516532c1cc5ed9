#include "platform/SoundSystem.h"

#include <SDL.h>
#include <mpg123.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/PathKind.h"

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
    SDL_AudioDeviceID device = 0;
    int frameBytes = 0;
    int bufferFrames = 0;
    bool ended = false;
    bool stopped = false;
    std::atomic<uint64_t> framesHanded{0};
};

// Runs on SDL's audio thread with the device locked: decode what the device
// asks for; after the end of the stream, silence. Every frame handed over
// counts towards the position.
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
}

Result System::create(System** system) {
    *system = new System;
    return Ok;
}

Result System::getVersion(unsigned* result) {
    *result = version;
    return Ok;
}

Result System::init(int, unsigned, void*) {
    mpg123_init();
    audioUp = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    return audioUp ? Ok : ErrorOutput;
}

Result System::createStream(const char* path, unsigned, void*, Stream** result) {
    *result = nullptr;
    if (!isFileOrDirectory(path))
        return ErrorFile;
    Stream* opened = new Stream;
    opened->decoder = mpg123_new(nullptr, nullptr);
    int encoding = 0;
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

    SDL_AudioSpec want;
    SDL_zero(want);
    want.freq = int(sound->rate);
    want.format = AUDIO_S16SYS;
    want.channels = Uint8(sound->channels);
    want.samples = 1024;
    want.callback = fill;
    want.userdata = state;
    SDL_AudioSpec have;
    state->device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (!state->device) {
        delete state;
        delete opened;
        return ErrorOutput;
    }
    state->bufferFrames = have.samples;
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
    delete channel->state;
    delete channel;
    channel = nullptr;
}

Result System::release() {
    closeChannel();
    delete stream;
    if (audioUp)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    delete this;
    return Ok;
}

Result Channel::setPaused(bool paused) {
    if (state->stopped)
        return ErrorInvalidHandle;
    SDL_PauseAudioDevice(state->device, paused ? 1 : 0);
    return Ok;
}

Result Channel::stop() {
    if (state->stopped)
        return ErrorInvalidHandle;
    SDL_CloseAudioDevice(state->device);
    state->device = 0;
    state->stopped = true;
    return Ok;
}

Result Channel::getPosition(unsigned* position, unsigned timeUnit) {
    if (state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    // What the device still holds in its buffer has not been heard yet.
    uint64_t handed = state->framesHanded;
    uint64_t heard = handed > uint64_t(state->bufferFrames) ? handed - state->bufferFrames : 0;
    *position = unsigned(heard * 1000 / uint64_t(state->stream->rate));
    return Ok;
}

Result Channel::setPosition(unsigned position, unsigned timeUnit) {
    if (state->stopped || timeUnit != timeUnitMilliseconds)
        return ErrorInvalidHandle;
    uint64_t frame = uint64_t(position) * uint64_t(state->stream->rate) / 1000;
    SDL_LockAudioDevice(state->device);
    off_t reached = mpg123_seek(state->stream->decoder, off_t(frame), SEEK_SET);
    state->ended = reached < 0 || reached < off_t(frame);
    state->framesHanded = frame + uint64_t(state->bufferFrames);
    SDL_UnlockAudioDevice(state->device);
    return Ok;
}

}  // namespace Sound
