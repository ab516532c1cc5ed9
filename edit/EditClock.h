#pragma once

#include <cstdint>

#include "Audio.h"

// The clock of the editing mode, registered with Sync in place of the music
// player: the music's position while the player has a channel, otherwise a
// wall clock of its own, and either way one that pauses, resumes and seeks.
// It always reports a channel, so that the tracks follow it even without
// music.
class EditClock : public Audio {
public:
    using Timer = uint32_t (*)();  // milliseconds, wrapping at 2^32

    EditClock(Audio& music, Timer timer);

    void update() override;
    void pause() override;
    void resume() override;
    void stop() override;
    bool hasChannel() override;
    bool isPlaying() override;
    double getPosition() override;
    void setPosition(double seconds) override;

    // Moves to the first millisecond that lies on the row (never before 0),
    // so that the position reads back as that row.
    void setRow(int32_t row, double rowRate);

private:
    Audio& music;
    Timer timer;
    bool paused = false;
    uint32_t startedAt;  // the wall clock at position 0
    uint32_t heldMs = 0; // the position while paused
};
