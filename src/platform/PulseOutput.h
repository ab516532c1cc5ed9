#pragma once

#include <cstdint>

// The music's output stream on a PulseAudio server (or PipeWire's, which
// speaks the same protocol): the sound server reports how long a sample
// written now takes to reach the output, its own buffer and the device's
// included, which SDL's audio output cannot tell. Builds without libpulse
// (Windows) have no server to open and use SDL's output alone.
class PulseOutput {
public:
    // Fills `bytes` bytes of sound, on the server thread with the output
    // locked.
    using Fill = void (*)(void* user, unsigned char* out, int bytes);

    // Null when no server answers, or when SDL_AUDIODRIVER names another
    // driver than PulseAudio's or PipeWire's.
    static PulseOutput* open(int rate, int channels, Fill fill, void* user, bool paused);
    ~PulseOutput();

    // The fill callback and the calls below exclude each other.
    void lock();
    void unlock();

    // Locked: stops or resumes the output; what it holds plays on resume.
    void setPaused(bool paused);
    // Locked: drops what is queued for the output, for a seek.
    void flush();
    // Locked: the frames written that are not heard yet, or false while the
    // server has not said (at the start, and just after a flush).
    bool pendingFrames(uint64_t* frames);
    // Locked: false once the server has gone away or dropped the stream.
    bool running();

    struct Server;

private:
    PulseOutput() = default;
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;
    Server* server = nullptr;
};
