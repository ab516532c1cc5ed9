#pragma once

#include <cstdint>

#include "SyncTrack.h"

class Audio;

// The demo's one timeline: the demo time in seconds, and the value of a named
// sync track at the row the music has reached.
class Sync {
public:
    using Timer = uint32_t (*)();  // milliseconds, wrapping at 2^32

    static Sync& instance();

    // A clock of its own, for tests: the timer stands in for the wall clock.
    explicit Sync(Timer timer, const char* basePath = "Data/");
    ~Sync();  // the demo's own clock is never destroyed

    void setAudio(Audio* player);
    void setRowRate(double rowsPerSecond);
    double getTime();
    float getValue(const char* name);

    // The row the music has reached (0 without a player), and a track's
    // value at any row: for what a frame works out from another moment of
    // the timeline.
    double getRow();
    float getValueAt(const char* name, double row);
    double getRowRate() const { return rowRate; }

    SyncDevice* getDevice() { return device; }

private:
    Sync(const Sync&) = delete;
    Sync& operator=(const Sync&) = delete;

    Timer timer;
    Audio* audio;
    uint32_t startTime;
    SyncDevice* device;
    double rowRate;
};

// The platform's millisecond clock.
uint32_t wallClockMilliseconds();
