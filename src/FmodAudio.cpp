#include "FmodAudio.h"

#include <cstdint>

#include "platform/SoundSystem.h"

using Quib::Exception;

FmodAudio::FmodAudio() : system(nullptr), channel(nullptr), sound(nullptr), playing(false), lastPosition(0) {
    Sound::System::create(&system);
    unsigned version = 0;
    system->getVersion(&version);
    if (version != requiredVersion) {
        system->release();
        throw Exception("Incorrect version of FMOD", "src\\FmodAudio", 10);
    }
    system->init(1, 0, nullptr);
}

FmodAudio::~FmodAudio() { system->release(); }

void FmodAudio::play(const Quib::String& path) {
    // A file that cannot be opened or decoded leaves the player without a
    // channel: the clock then runs on the wall clock. Without a sound output
    // the channel plays silently on the wall clock.
    system->createStream(path.cStr(), 0, nullptr, &sound);
    system->playSound(-1, sound, false, &channel);
    playing = true;
}

void FmodAudio::setAudioOffset(int milliseconds) { system->setOutputOffset(milliseconds); }

void FmodAudio::mute() { system->setOutput(Sound::OutputNoSound); }

const char* FmodAudio::outputName() {
    const char* name = nullptr;
    bool onWallClock = false;
    if (!channel || channel->getOutput(&name, &onWallClock) != Sound::Ok)
        return nullptr;
    return onWallClock ? "wall clock" : name;
}

void FmodAudio::update() { system->update(); }

void FmodAudio::pause() {
    if (!channel)
        return;
    channel->setPaused(true);
    playing = false;
}

void FmodAudio::resume() {
    if (!channel)
        return;
    channel->setPaused(false);
    playing = true;
}

void FmodAudio::stop() {
    if (channel)
        channel->stop();
}

bool FmodAudio::hasChannel() { return channel != nullptr; }

bool FmodAudio::isPlaying() { return playing; }

double FmodAudio::getPosition() {
    if (!channel)
        return 0.0;
    unsigned ms = 0;
    if (channel->getPosition(&ms, Sound::timeUnitMilliseconds) == Sound::Ok)
        lastPosition = ms;
    return double(lastPosition) / 1000.0;
}

void FmodAudio::setPosition(double seconds) {
    if (!channel)
        return;
    int64_t ms = int64_t(seconds * 1000.0);
    channel->setPosition(unsigned(uint64_t(ms) & 0xffffffffu), Sound::timeUnitMilliseconds);
}
