#pragma once

#include <memory>
#include <thread>

#include "platform/SoundOutput.h"

// The music's stream on Windows' shared audio engine (WASAPI, shared mode):
// the engine's clock says which frame of the stream reaches the listener and
// at which moment of the performance counter, which SDL's output cannot
// tell. A thread of its own opens the default device, hands the engine what
// fill makes each time the engine asks, and carries out pause and flush; it
// is the only one that speaks to the engine, so none of the calls below
// waits for it.
class WasapiOutput : public SoundOutput {
public:
    // Null when SDL_AUDIODRIVER names another driver, when there is no
    // device to play on or it refuses the stream (Absent), or when the
    // device has not answered by the deadline (Unresponsive: its thread is
    // left to finish on its own, and plays nothing).
    static WasapiOutput* open(int rate, int channels, Fill fill, void* user, int64_t deadline, Failure* failure);
    ~WasapiOutput() override;

    const char* name() const override { return "WASAPI"; }
    void lock() override;
    void unlock() override;
    void setPaused(bool paused) override;
    uint64_t flush() override;
    bool heard(Heard* heard) override;
    bool running() override;

    struct Stream;  // shared with the thread, which may outlive the output

private:
    WasapiOutput(std::shared_ptr<Stream> stream, std::thread thread);
    std::shared_ptr<Stream> stream;
    std::thread thread;
};
