#pragma once

// A small sound system of our own in the shape of the vendor sound library
// the player was written against: create the system, query its version,
// initialise, open a stream, play it on a channel, query and set the
// channel's position in milliseconds, release. MP3 streams are decoded with
// libmpg123 as they play, into the output that openSoundOutput() picks for
// the machine (platform/SoundOutput.h), or into none: where no output opens,
// and for OutputNoSound, the channel plays on the wall clock.
//
// A channel's position is the sample frame the listener hears now, in
// milliseconds, as the playback clock (platform/PlaybackClock.h) works it out
// from what the output reports: smooth, never going back except by a seek,
// standing still while paused, reading exactly what was set right after a
// seek until the sound from there is heard, less the output offset a user
// gives for what no output reports (a TV, a headset). When the stream ends
// the channel goes on playing silence, so its position keeps advancing in
// real time.

namespace Sound {

enum Result { Ok = 0, ErrorFile, ErrorFormat, ErrorOutput, ErrorInvalidHandle };

// Where a system plays: the machine's sound output, or none (its channels
// play on the wall clock).
enum OutputType { OutputAutodetect = 0, OutputNoSound };

const unsigned version = 0x44005;
const unsigned timeUnitMilliseconds = 1;

class Stream;
class Channel;

class System {
public:
    static Result create(System** system);
    Result getVersion(unsigned* result);
    Result setOutput(OutputType output);  // before playSound
    Result init(int maxChannels, unsigned flags, void* driverData);
    Result createStream(const char* path, unsigned mode, void* extraInfo, Stream** stream);
    // The channel is there at once; its output is opened on a thread of its
    // own (every wait of that bounded, platform/SoundOutput.h), and until it
    // is open the channel stands at its start: no sound server holds the
    // program's frames.
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
    OutputType outputType = OutputAutodetect;
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
    // The music's frames handed to the output so far, and how many of them
    // it had not played at its last report.
    Result getConsumed(unsigned long long* frames, unsigned* bufferFrames);
    // Which output plays the channel ("PipeWire", "PulseAudio", "SDL",
    // "silent"; null while it is being opened), and whether its clock runs
    // on the wall clock for want of one that plays.
    Result getOutput(const char** name, bool* onWallClock);

    struct State;  // shared with the audio thread

private:
    friend class System;
    State* state = nullptr;
};

}  // namespace Sound
