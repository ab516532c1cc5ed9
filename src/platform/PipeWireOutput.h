#pragma once

#include "platform/SoundOutput.h"

// The music's stream on PipeWire, through its own API: the stream's time
// report says, at a moment of the graph's cycle, how much of what we queued
// it has not taken yet, how much its resampler holds and how long the graph
// and the device take from there (pw_stream_get_time_n).
class PipeWireOutput : public SoundOutput {
public:
    // Null when the system has no libpipewire-0.3.so.0 or one older than
    // 0.3.50 (it is opened at run time), when no PipeWire daemon answers, when
    // it has no sink to play on (a PipeWire that serves only video, beside a
    // PulseAudio), or when SDL_AUDIODRIVER names another driver (Absent); or
    // when the daemon took the connection or the stream and went no further
    // before the deadline (Unresponsive: a PipeWire without its session
    // manager never starts a new stream).
    static PipeWireOutput* open(int rate, int channels, Fill fill, void* user, int64_t deadline, Failure* failure);
    ~PipeWireOutput() override;

    const char* name() const override { return "PipeWire"; }
    void lock() override;
    void unlock() override;
    void setPaused(bool paused) override;
    uint64_t flush() override;
    bool heard(Heard* heard) override;
    bool running() override;

    struct Graph;

private:
    explicit PipeWireOutput(Graph* graph) : graph(graph) {}
    Graph* graph;
};
