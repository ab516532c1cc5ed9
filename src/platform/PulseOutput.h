#pragma once

#include "platform/SoundOutput.h"

// The music's stream on a PulseAudio server (PipeWire's PulseAudio service
// too): the server reports which byte of the stream it has read and how long
// the sink takes to play a byte it has read, which SDL's output cannot tell.
class PulseOutput : public SoundOutput {
public:
    // Null when no server answers (Absent), when SDL_AUDIODRIVER names another
    // driver (Absent), or when the server took the connection or the stream
    // and said nothing more before the deadline (Unresponsive).
    static PulseOutput* open(int rate, int channels, Fill fill, void* user, int64_t deadline, Failure* failure);
    ~PulseOutput() override;

    const char* name() const override { return "PulseAudio"; }
    void lock() override;
    void unlock() override;
    void setPaused(bool paused) override;
    uint64_t flush() override;
    bool heard(Heard* heard) override;
    bool running() override;

    struct Server;

private:
    explicit PulseOutput(Server* server) : server(server) {}
    Server* server;
};
