#pragma once

#include "Audio.h"
#include "quib/String.h"

namespace Sound {
class System;
class Channel;
class Stream;
}

// Plays the production's one piece of music and reports its position, which
// is the demo's clock.
class FmodAudio : public Audio {
public:
    static const unsigned requiredVersion = 278533;

    FmodAudio();
    ~FmodAudio();

    void play(const Quib::String& path);
    // Milliseconds the sound reaches the listener later than the output
    // reports (a TV's or a headset's delay; negative when earlier): the
    // clock follows what is heard. Set before play.
    void setAudioOffset(int milliseconds);
    // Plays on no sound output: the channel advances on the wall clock, and
    // everything that follows the music follows the time. Set before play.
    void mute();
    // Which sound output the channel plays on ("PipeWire", "PulseAudio",
    // "SDL", "silent"; "wall clock" when its clock has left an output that
    // stopped playing); null without a channel or while its output is being
    // opened. For tests and diagnostics.
    const char* outputName();

    void update() override;
    void pause() override;
    void resume() override;
    void stop() override;
    bool hasChannel() override;
    bool isPlaying() override;
    double getPosition() override;
    void setPosition(double seconds) override;

private:
    FmodAudio(const FmodAudio&) = delete;
    FmodAudio& operator=(const FmodAudio&) = delete;

    Sound::System* system;
    Sound::Channel* channel;
    Sound::Stream* sound;
    bool playing;
    unsigned lastPosition;  // milliseconds; what a failed query reads as
};
