#include "platform/PlaybackClock.h"

#include <algorithm>

PlaybackClock::PlaybackClock(SoundOutput& output, int rate, int64_t offsetFrames, Seek seek, void* user, Now now)
    : output(output), rate(rate), offset(offsetFrames), seekMusic(seek), user(user), now(now) {
    movedAt = progressAt = now();
}

uint64_t PlaybackClock::framesIn(int64_t nanoseconds) const {
    if (nanoseconds <= 0)
        return 0;
    uint64_t ns = uint64_t(nanoseconds), second = 1000000000;
    return ns / second * uint64_t(rate) + ns % second * uint64_t(rate) / second;
}

uint64_t PlaybackClock::report(uint64_t frames) {
    reported = std::max(frames, reported);
    return reported;
}

uint64_t PlaybackClock::position() {
    if (isPaused)
        return held;
    int64_t t = now();
    SoundOutput::Heard heard;
    output.lock();
    bool known = output.heard(&heard);
    bool alive = output.running();
    output.unlock();

    // The output's frame heard now: its report moved on by the time since,
    // never from before the last seek and never past what it was given.
    uint64_t frame = furthest;
    if (known) {
        frame = heard.frames;
        int64_t from = std::max(heard.at, movedAt);
        if (heard.playing && t > from)
            frame += framesIn(t - from);
        frame = std::min(frame, heard.limit);
        if (frame > furthest) {
            furthest = frame;
            progressAt = t;
        }
    }

    if (onWall) {
        uint64_t wall = wallFrom + framesIn(t - wallAt);
        if (alive && furthest > stalledAt) {
            // It plays again: the music is taken up where the picture is.
            output.lock();
            seekLocked(wall, t);
            output.unlock();
            return reported;
        }
        return report(wall);
    }
    if (!alive || t - progressAt > stallNanoseconds) {
        // Lost, or standing still: on the wall clock from the moment the
        // sound was last heard to move on.
        onWall = true;
        wallFrom = reported;
        wallAt = std::min(progressAt, t);
        stalledAt = furthest;
        return report(wallFrom + framesIn(t - wallAt));
    }

    // The music's frame the output has played: the last seek's target until
    // the sound from there is out, then on from it, moving smoothly.
    uint64_t music = frame > start ? target + (frame - start) : target;
    if (musicAt) {
        uint64_t course = musicShown + framesIn(t - musicAt);
        if (spread > 0 && known && heard.playing && frame > start) {
            // Coarse reports, late by varying amounts: the course follows the
            // earliest of them, taking up one ahead at a twentieth of the time
            // since the last reading (and a frame, what the course's rounding
            // loses), and drawn back by one behind (by no more than the
            // spread) at a four-hundredth, which keeps it on the output's own
            // clock. One further behind is waited for. Never past what the
            // output was given, a report as coarse as the rest.
            uint64_t span = framesIn(t - musicAt);
            uint64_t given = heard.limit == UINT64_MAX ? UINT64_MAX
                             : heard.limit > start     ? target + (heard.limit - start) + framesIn(spread)
                                                       : target;
            if (music >= course)
                music = std::min(music, course + span / 20 + 1);
            else if (course - music <= framesIn(spread))
                music = std::min(std::max(music, course - std::min(course, span / 400)), given);
        } else {
            music = std::min(music, course + uint64_t(rate) / 1000);
        }
    }
    musicShown = std::max(music, musicShown);
    musicAt = t;
    // What the listener hears: the user's offset later, and never a frame
    // before the seek's target.
    int64_t shown = int64_t(musicShown) - offset;
    return report(shown > int64_t(target) ? uint64_t(shown) : target);
}

void PlaybackClock::seekLocked(uint64_t frame, int64_t at) {
    seekMusic(user, frame);
    start = output.flush();
    target = frame;
    held = frame;
    reported = frame;
    musicShown = frame;
    musicAt = 0;
    movedAt = at;
    progressAt = at;
    onWall = false;
}

void PlaybackClock::seek(uint64_t frame) {
    output.lock();
    seekLocked(frame, now());
    output.unlock();
}

void PlaybackClock::setPaused(bool paused) {
    if (paused == isPaused)
        return;
    if (paused) {
        held = position();
        output.lock();
        output.setPaused(true);
        output.unlock();
        isPaused = true;
        return;
    }
    // What the output held from before the pause is dropped: the music goes
    // on from the frame the picture held, heard as the clock moves on.
    output.lock();
    seekLocked(held, now());
    output.setPaused(false);
    output.unlock();
    isPaused = false;
}

void PlaybackClock::given(uint64_t* frames, uint64_t* queued) {
    SoundOutput::Heard heard;
    output.lock();
    bool known = output.heard(&heard);
    output.unlock();
    if (!known || heard.limit < start) {
        *frames = target;
        *queued = 0;
        return;
    }
    if (heard.limit == UINT64_MAX) {
        // An output that makes its own frames has been given what it played.
        *frames = target + (heard.frames > start ? heard.frames - start : 0);
        *queued = 0;
        return;
    }
    *frames = target + (heard.limit - start);
    *queued = heard.limit > heard.frames ? heard.limit - heard.frames : 0;
}
