// The playback clock against a scripted output: the test says what the output
// reports and what time it is. At 1000 frames a second, a frame is a
// millisecond.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/PlaybackClock.h"

namespace {

const int64_t ms = 1000000;  // nanoseconds
int64_t fakeNow = 0;
int64_t fakeClock() { return fakeNow; }

class ScriptedOutput : public SoundOutput {
public:
    Heard report;
    bool known = true;
    bool alive = true;
    bool paused = false;
    uint64_t taken = 0;  // what flush returns
    int flushes = 0;

    const char* name() const override { return "scripted"; }
    void lock() override {}
    void unlock() override {}
    void setPaused(bool pause) override { paused = pause; }
    uint64_t flush() override {
        ++flushes;
        return taken;
    }
    bool heard(Heard* heard) override {
        if (known)
            *heard = report;
        return known;
    }
    bool running() override { return alive; }

    // The output heard `frames` at the time now, and plays on.
    void says(uint64_t frames, uint64_t limit = UINT64_MAX) {
        report.frames = frames;
        report.at = fakeNow;
        report.playing = true;
        report.limit = limit;
    }
};

std::vector<uint64_t> sought;
void seekMusic(void*, uint64_t frame) { sought.push_back(frame); }

class PlaybackTime : public ::testing::Test {
protected:
    ScriptedOutput output;
    void SetUp() override {
        fakeNow = 1000 * ms;
        sought.clear();
    }
    PlaybackClock make(int64_t offset = 0) { return PlaybackClock(output, 1000, offset, seekMusic, nullptr, fakeClock); }
    // Reads the clock every millisecond for `count` milliseconds; the
    // readings.
    std::vector<uint64_t> poll(PlaybackClock& clock, int count) {
        std::vector<uint64_t> read;
        for (int i = 0; i < count; ++i) {
            fakeNow += ms;
            read.push_back(clock.position());
        }
        return read;
    }
};

}  // namespace

// Between reports the position moves with the time; a report ahead of that
// course is taken up at one frame a reading more than the time, one behind it
// is waited for: never a jump, never a step back. Nothing is heard past what
// the output was given, and a report that does not play does not move.
TEST_F(PlaybackTime, MovesSmoothlyBetweenReportsAndNeverBack) {
    PlaybackClock clock = make();
    output.says(100);
    EXPECT_EQ(clock.position(), 100u);
    std::vector<uint64_t> read = poll(clock, 50);
    EXPECT_EQ(read.back(), 150u);

    output.says(170);  // 20 ahead of the course
    read = poll(clock, 30);
    for (size_t i = 1; i < read.size(); ++i)
        EXPECT_LE(read[i] - read[i - 1], 2u) << i;
    EXPECT_EQ(read.back(), 200u);  // caught up: 170 + 30

    output.says(180);  // 20 behind: stands until the course passes it
    read = poll(clock, 40);
    for (size_t i = 1; i < read.size(); ++i)
        EXPECT_GE(read[i], read[i - 1]) << i;
    EXPECT_EQ(read[10], 200u);
    EXPECT_EQ(read.back(), 220u);

    output.says(300, 320);  // given only up to 320
    read = poll(clock, 100);
    EXPECT_EQ(read.back(), 320u);
    output.says(330, 1000);
    output.report.playing = false;
    read = poll(clock, 30);
    EXPECT_LE(read.back(), 330u);
    EXPECT_GE(read.back(), 320u);
}

// A seek drops what the output holds and reads exactly its target until the
// output has played what it held before it; then it moves on from there,
// smoothly. A report taken before the seek does not count.
TEST_F(PlaybackTime, ASeekHoldsUntilTheSoundFromThereIsHeard) {
    PlaybackClock clock = make();
    output.says(100, 600);
    EXPECT_EQ(clock.position(), 100u);
    fakeNow += 450 * ms;  // nothing new from the output
    output.taken = 500;
    clock.seek(5000);
    EXPECT_EQ(sought, std::vector<uint64_t>{5000});
    EXPECT_EQ(output.flushes, 1);
    EXPECT_EQ(clock.position(), 5000u);
    // The old report, run on from before the seek, would pass 500 now.
    fakeNow += 10 * ms;
    EXPECT_EQ(clock.position(), 5000u);
    fakeNow += 1000 * ms;
    output.says(480, 600);
    EXPECT_EQ(clock.position(), 5000u);
    std::vector<uint64_t> read = poll(clock, 15);
    EXPECT_EQ(read[10], 5000u);     // 490 heard: not yet
    EXPECT_EQ(read.back(), 5000u);  // 495
    output.says(530, 700);          // 30 past the seek already
    read = poll(clock, 40);
    for (size_t i = 1; i < read.size(); ++i)
        EXPECT_LE(read[i] - read[i - 1], 2u) << i;
    EXPECT_EQ(read.back(), 5070u);
    EXPECT_FALSE(clock.onWallClock());
}

// Paused, the position holds and the output is paused; resumed, the music is
// taken up at the held frame (a seek there) and the clock holds until it is
// heard.
TEST_F(PlaybackTime, APauseHoldsAndTheMusicResumesWhereThePictureStands) {
    PlaybackClock clock = make();
    output.says(0, 100000);
    poll(clock, 250);
    clock.setPaused(true);
    EXPECT_TRUE(output.paused && clock.paused());
    uint64_t held = clock.position();
    EXPECT_EQ(held, 250u);
    fakeNow += 5000 * ms;  // longer than a stall: a pause is none
    EXPECT_EQ(clock.position(), held);
    clock.seek(400);  // a seek while paused moves the held frame
    EXPECT_EQ(clock.position(), 400u);
    output.taken = 9000;
    clock.setPaused(false);
    EXPECT_FALSE(output.paused || clock.paused());
    EXPECT_EQ(sought.back(), 400u);
    std::vector<uint64_t> read = poll(clock, 20);
    EXPECT_EQ(read.back(), 400u);  // what was held before is still being heard
    output.says(9000, 20000);
    read = poll(clock, 10);
    EXPECT_EQ(read.back(), 410u);
    EXPECT_FALSE(clock.onWallClock());
}

// The user's offset: a later sound holds the picture back as much (never
// below 0), an earlier one moves it on; a seek still reads its target.
TEST_F(PlaybackTime, TheUsersOffsetMovesThePositionByItsLength) {
    PlaybackClock later = make(300);
    output.says(1000);
    EXPECT_EQ(later.position(), 700u);
    output.taken = 2000;
    later.seek(10000);
    EXPECT_EQ(later.position(), 10000u);
    output.says(2400);  // 400 past the seek, taken up smoothly, heard 300 later
    std::vector<uint64_t> read = poll(later, 500);
    EXPECT_EQ(read[99], 10000u);
    EXPECT_EQ(read.back(), 10600u);

    output.taken = 0;
    output.says(100);
    EXPECT_EQ(make(300).position(), 0u);
    EXPECT_EQ(make(-300).position(), 400u);
}

// Lost, or no progress for two seconds, and the clock goes on on the wall
// clock from where the sound last moved on, as if it had gone on. When the
// output plays again the music is sought to where the clock stands and the
// clock holds there until that is heard: never back. Lost for good, it stays
// on the wall clock.
TEST_F(PlaybackTime, AStalledOrLostOutputLeavesTheClockOnTheWallClock) {
    PlaybackClock clock = make();
    output.says(0, 3000);  // given 3000 frames: heard by 3 s, then nothing
    std::vector<uint64_t> read = poll(clock, 5000);
    EXPECT_EQ(read[2999], 3000u);
    EXPECT_EQ(read[4999], 3000u);  // two seconds standing: not yet
    EXPECT_FALSE(clock.onWallClock());
    read = poll(clock, 500);
    EXPECT_TRUE(clock.onWallClock());
    EXPECT_EQ(read[0], 5001u);  // on from 3000 at 3 s, as if it had played on
    EXPECT_EQ(read.back(), 5500u);
    EXPECT_TRUE(sought.empty());

    // It plays again: the music is taken up at the clock's frame.
    output.taken = 3100;
    output.says(3001, 3100);
    uint64_t resumed = poll(clock, 1).back();
    EXPECT_FALSE(clock.onWallClock());
    EXPECT_EQ(sought, std::vector<uint64_t>{resumed});
    EXPECT_EQ(resumed, 5501u);
    read = poll(clock, 50);
    EXPECT_EQ(read.back(), resumed);  // the sound from there is still ahead
    output.says(3100, 10000);
    read = poll(clock, 50);
    EXPECT_EQ(read.back(), resumed + 50);

    // Lost for good: on the wall clock at once, and it stays there.
    output.alive = false;
    uint64_t before = clock.position();
    read = poll(clock, 100);
    EXPECT_TRUE(clock.onWallClock());
    EXPECT_EQ(read.back(), before + 100);
    output.says(20000, 30000);
    read = poll(clock, 100);
    EXPECT_TRUE(clock.onWallClock());
    EXPECT_EQ(read.back(), before + 200);
}

// An output whose reports are seen late by varying amounts (a browser's
// context time: every 50 ms a new value, each reported as heard when the
// page first saw it, three in four 30 ms late). With that spread given,
// the position moves at every reading at close to the time's pace (no halt,
// no jump), following the reports seen on time, not the late ones; it still
// holds after a seek until the sound from there is heard, and stops where
// the output stops. At 48 frames a millisecond.
TEST_F(PlaybackTime, LateReportsAreFollowedByTheEarliest) {
    PlaybackClock clock(output, 48000, 0, seekMusic, nullptr, fakeClock);
    clock.setReportSpread(100 * ms);
    int64_t begin = fakeNow;
    auto elapsed = [&] { return (fakeNow - begin) / ms; };
    auto step = [&] {
        int64_t mark = elapsed() / 50 * 50, late = mark / 50 % 4 ? 30 : 0;
        if (elapsed() >= mark + late) {  // seen: the frame heard at the mark
            output.says(uint64_t(mark) * 48);
            output.report.at = begin + (mark + late) * ms;
        }
    };
    std::vector<double> lag;
    uint64_t last = 0;
    for (int reading = 1; reading <= 500; ++reading) {  // one every 10 ms
        fakeNow += 10 * ms;
        step();
        uint64_t position = clock.position();
        if (reading > 100) {  // 10 ms, give or take a twentieth (and a frame)
            EXPECT_GE(position - last, 480u - 25u) << reading;
            EXPECT_LE(position - last, 480u + 25u) << reading;
        }
        last = position;
        if (reading > 300)
            lag.push_back(double(elapsed()) - double(position) / 48);
    }
    double sum = 0;
    for (double l : lag)
        sum += l;
    EXPECT_NEAR(sum / double(lag.size()), 0.0, 3.0);  // the late ones lag 30 ms

    // The output stops at what it was given: the position goes no further
    // than the spread past it.
    uint64_t given = uint64_t(elapsed() / 50 * 50) * 48;
    output.report.limit = given;
    for (int reading = 0; reading < 30; ++reading) {
        fakeNow += 10 * ms;
        EXPECT_LE(clock.position(), std::max(given + 100 * 48, last));
    }

    // A seek holds until the sound from its frame is heard, late or not.
    output.taken = 480000;
    clock.seek(1920000);
    for (int reading = 0; reading < 10; ++reading) {
        fakeNow += 10 * ms;
        output.says(479990);
        EXPECT_EQ(clock.position(), 1920000u);
    }
    output.says(482400);
    fakeNow += 10 * ms;
    EXPECT_GT(clock.position(), 1920000u);
    EXPECT_FALSE(clock.onWallClock());
}
