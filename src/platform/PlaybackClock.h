#pragma once

#include <cstdint>

#include "platform/SoundOutput.h"

// The music's position as the listener hears it, from what an output reports:
// the frame of the music reaching the listener now, less the user's offset for
// what no output can report (a TV's or a headset's delay). It
//  - moves smoothly between the output's reports: a report ahead of the course
//    is taken up at one extra millisecond a reading, one behind it is waited
//    for, so it never jumps and never goes back; where the output's reports
//    are coarse, seen late by varying amounts (setReportSpread), it follows
//    the earliest of them;
//  - reads exactly the frame sought right after a seek, and holds there until
//    the sound from there is heard;
//  - holds while paused; on resume the music is taken up again at the held
//    frame, so sound and picture go on together;
//  - goes on on the wall clock when the output is lost, or reports no progress
//    for two seconds (a stalled or suspended server), so the production never
//    stands still; when the output plays again, the music is sought to where
//    the clock stands and the two are in step again, the clock never going
//    back.
// One clock per output; every call comes from one thread (the program's).
class PlaybackClock {
public:
    using Now = int64_t (*)();  // steady-clock nanoseconds
    // Moves the music so that the next frame the output takes is this one;
    // called with the output locked.
    using Seek = void (*)(void* user, uint64_t frame);

    static const int64_t stallNanoseconds = 2000000000;

    // The output opened at `rate`; its first frame is the music's frame 0.
    // offsetFrames: how much later than the output reports the listener hears
    // the sound (negative: earlier).
    PlaybackClock(SoundOutput& output, int rate, int64_t offsetFrames, Seek seek, void* user,
                  Now now = SoundOutput::now);

    uint64_t position();  // in frames of the music
    void setPaused(bool paused);
    void seek(uint64_t frame);
    // How late the output's reports may be, in nanoseconds: 0 (the default)
    // for an output whose every report is exact, more for one whose reports
    // are seen late by varying amounts and never early (a browser's context
    // time, which its page sees in blocks). The position then follows the
    // earliest reports, not halting at each late one: a report ahead of its
    // course is taken up at a twentieth of the time since the last reading,
    // one behind by no more than this draws it back at a four-hundredth
    // (the output's clock and the steady clock may differ by that much), one
    // further behind is waited for. Never before the sound from the last seek
    // is heard, nor further past what the output says it was given than this.
    void setReportSpread(int64_t nanoseconds) { spread = nanoseconds; }

    bool paused() const { return isPaused; }
    // Whether the clock runs on the wall clock for want of an output that
    // plays.
    bool onWallClock() const { return onWall; }
    // The music's frames the output has been given, as far as it says (the
    // position can never pass it, except on the wall clock), and the part of
    // them it had not played at its last report.
    void given(uint64_t* frames, uint64_t* queued);

private:
    uint64_t framesIn(int64_t nanoseconds) const;
    uint64_t report(uint64_t frames);  // never back
    void seekLocked(uint64_t frame, int64_t at);

    SoundOutput& output;
    const int rate;
    const int64_t offset;
    const Seek seekMusic;
    void* const user;
    const Now now;
    int64_t spread = 0;

    // The music's frame `target` is the output's frame `start`: what the
    // last seek (or the open) set.
    uint64_t start = 0;
    uint64_t target = 0;
    int64_t movedAt;  // when; nothing sought was heard before it

    uint64_t reported = 0;  // the last position read
    uint64_t musicShown = 0;  // the music's frame it showed played, and when
    int64_t musicAt = 0;      // (0: not since the last seek)

    bool isPaused = false;
    uint64_t held = 0;

    // The furthest the output has got (in its own frames) and when it last
    // got further; on the wall clock, where it stood when the clock left it.
    uint64_t furthest = 0;
    int64_t progressAt;
    bool onWall = false;
    uint64_t wallFrom = 0;
    int64_t wallAt = 0;
    uint64_t stalledAt = 0;
};
