#pragma once

// A small sound system of our own in the shape of the vendor sound library
// the player was written against: create the system, query its version,
// initialise, open a stream, play it on a channel, query and set the
// channel's position in milliseconds, release. Output goes through SDL2
// audio; MP3 streams are decoded with libmpg123 as they play.
//
// A channel's position is the sample frame the listener hears now, in
// milliseconds. On a PulseAudio server (PipeWire's too) it is the frames
// handed to the server less those the server reports still on their way to
// the output: its queue and the device's latency, interpolated between the
// server's reports. Elsewhere (SDL's output: no server, Windows, the dummy
// driver) it is the frames the device has consumed, less the one buffer it
// holds, plus the part of that buffer played since it was handed over
// (measured on the clock, at most one buffer). Either way the position moves
// smoothly, less the output offset a user gives for what no API reports (a
// TV, a headset). It never goes back except by a seek, stands still while
// paused and reads exactly what was set right after a seek, until the
// sound from there is heard. When the stream ends the channel goes on
// playing silence, so its position keeps advancing in real time.

namespace Sound {

enum Result { Ok = 0, ErrorFile, ErrorFormat, ErrorOutput, ErrorInvalidHandle };

const unsigned version = 0x44005;
const unsigned timeUnitMilliseconds = 1;

class Stream;
class Channel;

class System {
public:
    static Result create(System** system);
    Result getVersion(unsigned* result);
    Result init(int maxChannels, unsigned flags, void* driverData);
    Result createStream(const char* path, unsigned mode, void* extraInfo, Stream** stream);
    Result playSound(int channelIndex, Stream* stream, bool paused, Channel** channel);
    // How much later than the output reports the sound reaches the
    // listener (negative: earlier); for the channels played after it.
    Result setOutputOffset(int milliseconds);
    Result update();
    Result release();  // frees the system, its stream and its channel

private:
    System() = default;
    ~System() = default;
    void closeChannel();  // one channel at a time: the old one goes first
    bool audioUp = false;
    bool sdlAudioUp = false;
    int offsetMilliseconds = 0;
    Stream* stream = nullptr;
    Channel* channel = nullptr;
};

class Channel {
public:
    Result setPaused(bool paused);
    Result stop();
    Result getPosition(unsigned* position, unsigned timeUnit);
    Result setPosition(unsigned position, unsigned timeUnit);
    // The sample frames the device has consumed so far (counting from the
    // last seek's target plus one buffer) and the size of its buffer.
    Result getConsumed(unsigned long long* frames, unsigned* bufferFrames);

    struct State;  // shared with the audio thread

private:
    friend class System;
    State* state = nullptr;
};

}  // namespace Sound
