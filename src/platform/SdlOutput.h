#pragma once

#include <SDL.h>

#include "platform/SoundOutput.h"

// SDL's audio device: where no sound server of our own answers (no server,
// no WASAPI device, SDL_AUDIODRIVER naming another driver, SDL's dummy
// device for tests). SDL does not say when a sample is heard: the frames handed over
// less the one buffer the device holds are taken as heard at the moment of
// the hand-over, and the device plays on from there at its rate.
class SdlOutput : public SoundOutput {
public:
    // Null when SDL's audio cannot start or no device opens (Absent). SDL's
    // own calls have no time limit: it is asked only where no server of ours
    // went silent on us.
    static SdlOutput* open(int rate, int channels, Fill fill, void* user, int64_t deadline, Failure* failure);
    ~SdlOutput() override;

    const char* name() const override { return "SDL"; }
    void lock() override;
    void unlock() override;
    void setPaused(bool paused) override;
    uint64_t flush() override;
    bool heard(Heard* heard) override;
    bool running() override;

private:
    SdlOutput() = default;
    static void onRequest(void* user, Uint8* out, int bytes);

    SDL_AudioDeviceID device = 0;
    Fill fill = nullptr;
    void* user = nullptr;
    int frameBytes = 0;
    uint64_t bufferFrames = 0;
    bool paused = false;
    // The output thread's, read locked.
    uint64_t taken = 0;
    int64_t takenAt = 0;
};
