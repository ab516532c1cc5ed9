// avsync_player for the Windows build, run under Wine by tests/avsync/wine.py:
// plays an MP3 through the program's own player, as the demo does, and
// writes a line each time the clock it gives moves: the monotonic times in
// nanoseconds just before and just after the reading, the same two of the
// reading before, and the position in milliseconds. The clock is read every
// half millisecond. It plays until the clock reads SECONDS (10 s longer at
// most).
//
// usage: wine_player FILE SECONDS [AUDIO_OFFSET_MS]
#include <cstdio>
#include <cstdlib>

#include "FmodAudio.h"
#include "wine_clock.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: wine_player FILE SECONDS [AUDIO_OFFSET_MS]\n");
        return 2;
    }
    double seconds = std::atof(argv[2]);
    FmodAudio audio;
    if (argc > 3)
        audio.setAudioOffset(std::atoi(argv[3]));
    audio.play(argv[1]);
    if (!audio.hasChannel()) {
        std::fprintf(stderr, "wine_player: no channel for %s\n", argv[1]);
        return 1;
    }
    long long start = monotonicNs(), last = -1, lastBefore = start;
    for (;;) {
        long long now = monotonicNs();
        long long ms = (long long)(audio.getPosition() * 1000.0 + 0.5);
        long long after = monotonicNs();
        if (ms != last)
            std::printf("%lld %lld %lld %lld\n", now, after, lastBefore, ms);
        last = ms;
        lastBefore = now;
        if (ms >= (long long)(seconds * 1000) || now - start > (long long)((seconds + 10) * 1e9))
            break;
        pauseHalfMillisecond();
    }
    audio.stop();
    return 0;
}
