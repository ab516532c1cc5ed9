#include "platform/SdlOutput.h"

SdlOutput* SdlOutput::open(int rate, int channels, Fill fill, void* user, int64_t, Failure* failure) {
    *failure = Failure::Absent;
    if (channels < 1 || channels > 8 || SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return nullptr;
    SdlOutput* output = new SdlOutput;
    output->fill = fill;
    output->user = user;
    output->frameBytes = 2 * channels;
    output->takenAt = now();
    SDL_AudioSpec want;
    SDL_zero(want);
    want.freq = rate;
    want.format = AUDIO_S16SYS;
    want.channels = Uint8(channels);
    want.samples = 1024;
    want.callback = onRequest;
    want.userdata = output;
    SDL_AudioSpec have;
    output->device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (!output->device) {
        delete output;  // leaves SDL's audio as it found it
        return nullptr;
    }
    output->bufferFrames = have.samples;
    SDL_PauseAudioDevice(output->device, 0);
    *failure = Failure::None;
    return output;
}

SdlOutput::~SdlOutput() {
    if (device)
        SDL_CloseAudioDevice(device);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

// Runs on SDL's audio thread with the device locked.
void SdlOutput::onRequest(void* user, Uint8* out, int bytes) {
    SdlOutput* output = static_cast<SdlOutput*>(user);
    int frames = bytes / output->frameBytes;
    output->fill(output->user, reinterpret_cast<int16_t*>(out), frames);
    output->taken += uint64_t(frames);
    output->takenAt = now();
}

void SdlOutput::lock() { SDL_LockAudioDevice(device); }
void SdlOutput::unlock() { SDL_UnlockAudioDevice(device); }

// SDL's device lock may be taken again by the thread that holds it.
void SdlOutput::setPaused(bool pause) {
    paused = pause;
    SDL_PauseAudioDevice(device, pause ? 1 : 0);
}

// What the device holds cannot be taken back: one buffer plays before the
// frames taken after this.
uint64_t SdlOutput::flush() { return taken; }

bool SdlOutput::heard(Heard* heard) {
    heard->frames = taken > bufferFrames ? taken - bufferFrames : 0;
    heard->at = takenAt;
    heard->playing = !paused;
    heard->limit = taken;
    return true;
}

bool SdlOutput::running() { return SDL_GetAudioDeviceStatus(device) != SDL_AUDIO_STOPPED; }
