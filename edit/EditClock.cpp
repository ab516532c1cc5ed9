#include "EditClock.h"

#include <cmath>

EditClock::EditClock(Audio& music, Timer timer) : music(music), timer(timer), startedAt(timer()) {}

void EditClock::update() { music.update(); }

void EditClock::pause() {
    if (paused)
        return;
    if (music.hasChannel())
        music.pause();
    else
        heldMs = timer() - startedAt;
    paused = true;
}

void EditClock::resume() {
    if (!paused)
        return;
    if (music.hasChannel())
        music.resume();
    else
        startedAt = timer() - heldMs;
    paused = false;
}

void EditClock::stop() { music.stop(); }

bool EditClock::hasChannel() { return true; }

bool EditClock::isPlaying() { return !paused; }

double EditClock::getPosition() {
    if (music.hasChannel())
        return music.getPosition();
    uint32_t ms = paused ? heldMs : timer() - startedAt;
    return double(ms) / 1000.0;
}

void EditClock::setPosition(double seconds) {
    if (!(seconds > 0.0))
        seconds = 0.0;
    if (music.hasChannel()) {
        music.setPosition(seconds);
        return;
    }
    uint32_t ms = uint32_t(std::floor(seconds * 1000.0));  // whole milliseconds, as the player
    if (paused)
        heldMs = ms;
    else
        startedAt = timer() - ms;
}

void EditClock::setRow(int32_t row, double rowRate) {
    if (row < 0)
        row = 0;
    double ms = std::ceil(double(row) * 1000.0 / rowRate);
    // Half a millisecond over, so that a player truncating to whole
    // milliseconds lands on this one.
    setPosition((ms + 0.5) / 1000.0);
}
