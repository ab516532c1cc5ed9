#include "platform/SilentOutput.h"

SilentOutput* SilentOutput::open(int rate, int, Fill, void*, int64_t, Failure* failure) {
    if (failure)
        *failure = Failure::None;
    return new SilentOutput(rate);
}

uint64_t SilentOutput::played() const {
    if (paused)
        return before;
    int64_t elapsed = now() - since;
    if (elapsed <= 0)
        return before;
    uint64_t ns = uint64_t(elapsed), second = 1000000000;
    return before + ns / second * uint64_t(rate) + ns % second * uint64_t(rate) / second;
}

void SilentOutput::setPaused(bool pause) {
    if (pause == paused)
        return;
    before = played();
    since = now();
    paused = pause;
}

bool SilentOutput::heard(Heard* heard) {
    heard->frames = played();
    heard->at = now();
    heard->playing = !paused;
    heard->limit = UINT64_MAX;
    return true;
}
