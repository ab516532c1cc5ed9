// Plays an MP3 through the program's own player, as the demo does, and
// writes a line each time the clock it gives moves: the monotonic times in
// nanoseconds just before and just after the reading, the same two of the
// reading before, and the position in milliseconds. The clock is read
// every half millisecond, so the time a position was first shown is known
// to about that.
//
// It plays until the clock reads SECONDS (10 s longer at most). Built for
// Windows too, as wine_player, which tests/avsync/wine.py runs under Wine.
//
// usage: avsync_player FILE SECONDS [AUDIO_OFFSET_MS]
#include <cstdio>
#include <cstdlib>

#include "FmodAudio.h"
#ifdef _WIN32
#include "wine_clock.h"
#else
#include <time.h>

static long long monotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void pauseHalfMillisecond() {
    timespec pause = {0, 500000};
    nanosleep(&pause, nullptr);
}
#endif

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE SECONDS [AUDIO_OFFSET_MS]\n", argv[0]);
        return 2;
    }
    double seconds = std::atof(argv[2]);
    FmodAudio audio;
    if (argc > 3)
        audio.setAudioOffset(std::atoi(argv[3]));
    audio.play(argv[1]);
    if (!audio.hasChannel()) {
        std::fprintf(stderr, "%s: no channel for %s\n", argv[0], argv[1]);
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
    const char* output = audio.outputName();
    std::fprintf(stderr, "avsync_player: played on %s\n", output ? output : "no output");
    audio.stop();
    return 0;
}
