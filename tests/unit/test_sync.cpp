#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "Audio.h"
#include "Sync.h"

namespace {

uint32_t fakeNow = 0;
uint32_t fakeTimer() { return fakeNow; }

// A player whose channel position the test sets.
class FakeAudio : public Audio {
public:
    bool channel = true;
    uint32_t ms = 0;
    int positionQueries = 0;
    void update() override {}
    void pause() override {}
    void resume() override {}
    void stop() override {}
    bool hasChannel() override { return channel; }
    bool isPlaying() override { return channel; }
    double getPosition() override {
        ++positionQueries;
        return channel ? double(ms) / 1000.0 : 0.0;
    }
    void setPosition(double) override {}
};

const double rowRate = 14.666666666666666;

class Clock : public ::testing::Test {
protected:
    std::string base = ::testing::TempDir() + "clock_";
    std::string track = base + "_Ramp Up.track";
    void SetUp() override {
        // Row r holds the value r: two linear keys at rows 0 and 1000.
        std::ofstream out(track, std::ios::binary);
        int32_t count = 2, r0 = 0, r1 = 1000;
        float v0 = 0.0f, v1 = 1000.0f;
        char lin = 1, step = 0;
        out.write((char*)&count, 4);
        out.write((char*)&r0, 4).write((char*)&v0, 4).write(&lin, 1);
        out.write((char*)&r1, 4).write((char*)&v1, 4).write(&step, 1);
    }
    void TearDown() override { std::remove(track.c_str()); }
};

}  // namespace

TEST_F(Clock, MusicPositionGivesTimeAndRow) {
    EXPECT_EQ(rowRate, 44.0 / 3.0);
    fakeNow = 5000;
    Sync sync(fakeTimer, base.c_str());
    FakeAudio audio;
    sync.setAudio(&audio);
    sync.setRowRate(rowRate);
    audio.ms = 750;
    EXPECT_EQ(sync.getTime(), 0.75);
    EXPECT_EQ(sync.getValue("Ramp Up"), 11.0f);  // 0.75 s is row 11.0
    audio.ms = 0x80000000u;                       // 2^31 ms: still positive
    EXPECT_EQ(sync.getTime(), 2147483.648);
    audio.ms = 0xFFFFFFFFu;
    EXPECT_GT(sync.getTime(), 4294967.0);
}

TEST_F(Clock, WithoutPlayerTracksReadZeroAndNothingIsLoaded) {
    fakeNow = 1000;
    Sync sync(fakeTimer, base.c_str());
    sync.setRowRate(rowRate);
    fakeNow = 3500;
    EXPECT_EQ(sync.getTime(), 2.5);
    EXPECT_EQ(sync.getValue("Ramp Up"), 0.0f);
    EXPECT_EQ(sync.getDevice()->trackCount, 0);
}

TEST_F(Clock, WithoutChannelTimeFollowsTheWallClockAndTracksReadRowZero) {
    fakeNow = 0xFFFFF000u;  // the wall clock wraps during the run
    Sync sync(fakeTimer, base.c_str());
    FakeAudio audio;
    audio.channel = false;
    audio.ms = 9000;
    sync.setAudio(&audio);
    sync.setRowRate(rowRate);
    fakeNow = 0x00001000u;
    EXPECT_EQ(sync.getTime(), 8.192);
    EXPECT_EQ(sync.getValue("Ramp Up"), 0.0f);
    EXPECT_EQ(sync.getDevice()->trackCount, 1);
}

TEST_F(Clock, EachReadQueriesThePositionAnewAndLoadsATrackOnce) {
    Sync sync(fakeTimer, base.c_str());
    FakeAudio audio;
    sync.setAudio(&audio);
    audio.ms = 750;
    EXPECT_EQ(sync.getValue("Ramp Up"), 0.0f);  // row rate not set: row 0
    sync.setRowRate(rowRate);
    std::remove(track.c_str());
    EXPECT_EQ(sync.getValue("Ramp Up"), 11.0f);  // kept from the first read
    audio.ms = 1500;
    EXPECT_EQ(sync.getValue("Ramp Up"), 22.0f);
    EXPECT_EQ(audio.positionQueries, 3);
    EXPECT_EQ(sync.getDevice()->trackCount, 1);
}
