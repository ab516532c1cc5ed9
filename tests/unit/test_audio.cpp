#include <gtest/gtest.h>

#include <SDL.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "FmodAudio.h"
#include "platform/SoundSystem.h"

namespace {

// A two-second 440 Hz tone, written as WAV and encoded to MP3 with lame.
std::string makeMp3() {
    std::string wav = ::testing::TempDir() + "velvoria_tone.wav";
    std::string mp3 = ::testing::TempDir() + "velvoria_tone.mp3";
    const int rate = 44100, frames = rate * 2;
    std::ofstream out(wav, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write((const char*)&v, 4); };
    auto u16 = [&](uint16_t v) { out.write((const char*)&v, 2); };
    out.write("RIFF", 4); u32(36 + frames * 4); out.write("WAVEfmt ", 8);
    u32(16); u16(1); u16(2); u32(rate); u32(rate * 4); u16(4); u16(16);
    out.write("data", 4); u32(frames * 4);
    for (int i = 0; i < frames; ++i) {
        int16_t s = int16_t(8000 * std::sin(2 * M_PI * 440 * i / rate));
        u16(uint16_t(s)); u16(uint16_t(s));
    }
    out.close();
    std::string command = "lame --quiet -b 128 '" + wav + "' '" + mp3 + "'";
    if (std::system(command.c_str()) != 0)
        return "";
    std::remove(wav.c_str());
    return mp3;
}

double wallSeconds() { return SDL_GetTicks() / 1000.0; }

// The output the player is to play on: SDL's dummy device unless
// VELVORIA_TEST_OUTPUT names another ("silent", "PulseAudio", "PipeWire": the
// test then runs where that one answers, and fails where another plays).
const char* wantedOutput() {
    const char* name = std::getenv("VELVORIA_TEST_OUTPUT");
    return name && *name ? name : "SDL";
}
bool silent() { return std::string(wantedOutput()) == "silent"; }
// A sound server's sink may take a while to take up a new stream (a null
// sink renders on its own timer, up to 2 s at first).
bool server() { return !silent() && std::string(wantedOutput()) != "SDL"; }

class Player : public ::testing::Test {
protected:
    static std::string mp3;
    static void SetUpTestSuite() {
        if (!std::getenv("VELVORIA_TEST_OUTPUT"))
            setenv("SDL_AUDIODRIVER", "dummy", 0);
        mp3 = makeMp3();
    }
    static void start(FmodAudio& audio) {
        if (silent())
            audio.mute();
        audio.play(mp3.c_str());
        ASSERT_TRUE(audio.hasChannel());
        for (int waited = 0; !audio.outputName() && waited < 5000; waited += 1)
            SDL_Delay(1);
        ASSERT_STREQ(audio.outputName(), wantedOutput());
        for (int waited = 0; server() && audio.getPosition() == 0.0 && waited < 5000; waited += 5)
            SDL_Delay(5);
    }
    static void start(Sound::System* system, Sound::Channel** channel) {
        if (silent())
            system->setOutput(Sound::OutputNoSound);
        Sound::Stream* stream = nullptr;
        ASSERT_EQ(system->createStream(mp3.c_str(), 0, nullptr, &stream), Sound::Ok);
        ASSERT_EQ(system->playSound(-1, stream, false, channel), Sound::Ok);
        const char* name = nullptr;
        bool onWallClock = false;
        for (int waited = 0; (*channel)->getOutput(&name, &onWallClock) == Sound::Ok && !name && waited < 5000;
             waited += 1)
            SDL_Delay(1);
        ASSERT_STREQ(name, wantedOutput());
        unsigned position = 0;
        for (int waited = 0; server() && position == 0 && waited < 5000; waited += 5) {
            SDL_Delay(5);
            (*channel)->getPosition(&position, Sound::timeUnitMilliseconds);
        }
    }
};
std::string Player::mp3;

}  // namespace

TEST_F(Player, BeforePlayNothingMoves) {
    FmodAudio audio;
    EXPECT_FALSE(audio.hasChannel());
    EXPECT_EQ(audio.getPosition(), 0.0);
    audio.setPosition(0.5);
    audio.pause();
    audio.resume();
    audio.stop();
    EXPECT_FALSE(audio.isPlaying());
    EXPECT_EQ(audio.getPosition(), 0.0);
}

TEST_F(Player, AFileThatCannotBeDecodedGivesNoChannel) {
    FmodAudio audio;
    audio.play("Data/no-such-music.mp3");
    EXPECT_FALSE(audio.hasChannel());
    EXPECT_TRUE(audio.isPlaying());
    EXPECT_EQ(audio.getPosition(), 0.0);

    std::string text = ::testing::TempDir() + "not-music.mp3";
    std::ofstream(text) << "this is not an MP3 file at all\n";
    FmodAudio other;
    other.play(text.c_str());
    EXPECT_FALSE(other.hasChannel());
    std::remove(text.c_str());

    // A FIFO is not opened at all: opening it would wait for a writer.
    std::string fifo = ::testing::TempDir() + "velvoria_music.fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    FmodAudio third;
    third.play(fifo.c_str());
    EXPECT_FALSE(third.hasChannel());
    std::remove(fifo.c_str());
}

TEST_F(Player, PositionFollowsRealTimePausesSeeksAndOutlivesTheStream) {
    ASSERT_FALSE(mp3.empty()) << "lame could not make the test MP3";
    FmodAudio audio;
    ASSERT_NO_FATAL_FAILURE(start(audio));
    EXPECT_TRUE(audio.isPlaying());

    // Real-time rate within 10 % over one second, never going back.
    SDL_Delay(200);
    double p0 = audio.getPosition(), w0 = wallSeconds();
    double last = p0;
    while (wallSeconds() - w0 < 1.0) {
        SDL_Delay(20);
        double p = audio.getPosition();
        EXPECT_GE(p, last);
        last = p;
    }
    double rate = (audio.getPosition() - p0) / (wallSeconds() - w0);
    EXPECT_NEAR(rate, 1.0, 0.1);

    audio.pause();
    EXPECT_FALSE(audio.isPlaying());
    SDL_Delay(100);
    double held = audio.getPosition();
    SDL_Delay(300);
    EXPECT_EQ(audio.getPosition(), held);

    audio.setPosition(0.5);
    EXPECT_NEAR(audio.getPosition(), 0.5, 0.001);
    audio.resume();
    EXPECT_TRUE(audio.isPlaying());
    SDL_Delay(300);
    EXPECT_GT(audio.getPosition(), 0.6);
    EXPECT_LT(audio.getPosition(), 1.0);

    // Past the end of the two-second stream the position goes on.
    audio.setPosition(1.9);
    SDL_Delay(600);
    double after = audio.getPosition();
    EXPECT_GT(after, 2.3);
    SDL_Delay(300);
    EXPECT_GT(audio.getPosition(), after + 0.2);

    // A stopped channel reads as its last good position.
    audio.stop();
    double stopped = audio.getPosition();
    SDL_Delay(100);
    EXPECT_EQ(audio.getPosition(), stopped);
}

TEST_F(Player, PlayingAgainReplacesTheChannelCleanly) {
    ASSERT_FALSE(mp3.empty()) << "lame could not make the test MP3";
    FmodAudio audio;
    ASSERT_NO_FATAL_FAILURE(start(audio));
    SDL_Delay(100);
    ASSERT_NO_FATAL_FAILURE(start(audio));
    double first = audio.getPosition();
    SDL_Delay(300);
    EXPECT_GT(audio.getPosition(), 0.1);
    EXPECT_LT(audio.getPosition(), first + 0.4);
    audio.play("Data/no-such-music.mp3");
    EXPECT_FALSE(audio.hasChannel());
}

// Polled every millisecond, the position moves in steps of about the time
// between polls, not once per device buffer (23 ms), never goes back, and
// stays within one buffer of what the device has consumed.
TEST_F(Player, PositionMovesSmoothlyBetweenTheDevicesRequests) {
    ASSERT_FALSE(mp3.empty()) << "lame could not make the test MP3";
    Sound::System* system = nullptr;
    Sound::System::create(&system);
    system->init(1, 0, nullptr);
    Sound::Channel* channel = nullptr;
    ASSERT_NO_FATAL_FAILURE(start(system, &channel));

    const double rate = 44100.0;
    unsigned last = 0, polls = 0, longSteps = 0;
    uint64_t lastTick = SDL_GetPerformanceCounter(), start = lastTick;
    channel->getPosition(&last, Sound::timeUnitMilliseconds);
    unsigned first = last;
    double second = double(SDL_GetPerformanceFrequency());
    while ((SDL_GetPerformanceCounter() - start) / second < 3.0) {
        SDL_Delay(1);
        unsigned long long before = 0, after = 0;
        unsigned buffer = 0, position = 0;
        // The wait runs from just before the last poll to just after this
        // one, so a thread put aside between a poll and its clock reading
        // cannot make a step look longer than the time it covered.
        uint64_t tick = SDL_GetPerformanceCounter();
        channel->getConsumed(&before, &buffer);
        ASSERT_EQ(channel->getPosition(&position, Sound::timeUnitMilliseconds), Sound::Ok);
        channel->getConsumed(&after, &buffer);
        double waited = (SDL_GetPerformanceCounter() - lastTick) * 1000.0 / second;
        lastTick = tick;

        ASSERT_GE(position, last) << "after " << polls << " polls";
        // A late poll (a busy machine) may see a longer step, never one
        // longer than the time it waited (and the millisecond a reading a
        // server's report ahead of the course is taken up at).
        if (position - last > std::max(2.0, waited + (server() ? 2.0 : 1.0)))
            ++longSteps;
        EXPECT_LE(position, after * 1000.0 / rate + 1);
        // A server's report ahead of the course is taken up over a few readings.
        EXPECT_GE(position + (server() ? 25 : 1), (double(before) - buffer) * 1000.0 / rate);
        last = position;
        ++polls;
    }
    EXPECT_EQ(longSteps, 0u) << "of " << polls << " polls";
    EXPECT_GT(last - first, 2800u);
    system->release();
}

// A user's offset for a sound heard later holds the position back by as
// much (nothing heard yet reads 0); one for a sound heard earlier moves it on.
TEST_F(Player, AnOutputOffsetMovesThePositionByItsLength) {
    ASSERT_FALSE(mp3.empty()) << "lame could not make the test MP3";
    // A server's first report may come long after the start; the offset is
    // the clock's own arithmetic, measured on a server by tests/avsync.sh.
    if (server())
        GTEST_SKIP() << "measured by tests/avsync.sh on a server";
    for (int offset : {300, -300}) {
        Sound::System* system = nullptr;
        Sound::System::create(&system);
        system->init(1, 0, nullptr);
        system->setOutputOffset(offset);
        Sound::Channel* channel = nullptr;
        ASSERT_NO_FATAL_FAILURE(start(system, &channel));
        unsigned position = 0;
        ASSERT_EQ(channel->getPosition(&position, Sound::timeUnitMilliseconds), Sound::Ok);
        // The music starts after the silence the device was handed before
        // it (a buffer of 1024 frames at most).
        if (offset > 0)
            EXPECT_EQ(position, 0u);
        else
            EXPECT_GE(position + 24, 300u);
        SDL_Delay(500);
        unsigned long long consumed = 0;
        unsigned buffer = 0;
        channel->getConsumed(&consumed, &buffer);
        ASSERT_EQ(channel->getPosition(&position, Sound::timeUnitMilliseconds), Sound::Ok);
        double played = (double(consumed) - buffer) * 1000.0 / 44100.0;
        EXPECT_NEAR(double(position), played - offset, 1000.0 * buffer / 44100.0 + 2) << offset;
        system->release();
    }
}
