#pragma once

#include "platform/SoundOutput.h"

// No sound at all, played on the wall clock: its frames are heard as the
// time passes, as a vendor library's channels play on its no-sound output.
// For --mute and for a machine where no output opens: the music's channel
// exists and advances, so everything that follows the music follows the
// time. It takes nothing from fill; its index is the frames the time has
// played since it opened, less the time it was paused.
class SilentOutput : public SoundOutput {
public:
    // Always opens.
    static SilentOutput* open(int rate, int channels, Fill fill, void* user, int64_t deadline, Failure* failure);

    const char* name() const override { return "silent"; }
    void lock() override {}
    void unlock() override {}
    void setPaused(bool paused) override;
    uint64_t flush() override { return played(); }
    bool heard(Heard* heard) override;
    bool running() override { return true; }

private:
    explicit SilentOutput(int rate) : rate(rate), since(now()) {}
    uint64_t played() const;

    const int rate;
    int64_t since;         // when the frames before `before` had played
    uint64_t before = 0;
    bool paused = false;
};
