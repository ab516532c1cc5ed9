#pragma once

#include <cmath>

#include "Audio.h"

// A player that plays nothing and stands at whatever position it is given,
// in whole milliseconds like a real channel: the clock for frames rendered
// at chosen demo times.
class FixedAudio : public Audio {
public:
    unsigned ms = 0;

    void update() override {}
    void pause() override {}
    void resume() override {}
    void stop() override {}
    bool hasChannel() override { return true; }
    bool isPlaying() override { return true; }
    double getPosition() override { return ms / 1000.0; }
    void setPosition(double seconds) override { ms = unsigned(std::llround(seconds * 1000.0)); }
};
