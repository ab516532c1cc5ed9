#pragma once

#include <cstdint>

// One way of getting the music to the listener: a sound server's stream, a
// device, or nothing at all. Each output lives in a file of its own beside
// this one (PulseOutput, PipeWireOutput, SdlOutput, SilentOutput, ...) and
// knows nothing of the music or of the clock: the playback clock
// (PlaybackClock) sits on top of whichever output opened and is the one place
// that turns what an output reports into the music's position.
//
// The contract of an output:
// - Opening. Each output has a static
//       Kind* open(int rate, int channels, Fill fill, void* user,
//                  int64_t deadline, Failure* failure)
//   that opens it for interleaved signed 16-bit frames at that rate and
//   channel count, and returns null where it cannot. It waits for nothing past
//   `deadline` (steady-clock nanoseconds, see now()); where it gives up it says
//   why in *failure: Absent (nothing of its kind is there: another output may
//   be tried) or Unresponsive (something answered the door and then nothing
//   more: the same server must not be asked again through another library).
//   openSoundOutput() below picks the output for this machine.
// - Frames. A pulling output calls fill from a thread of its own, with its lock
//   held, for as many frames as it wants. It counts every frame it takes: that
//   count, from 0 at open, is the index the rest of this interface speaks in.
//   An output may also make its own frames (the silent one) and never call
//   fill; its index then runs on its own clock.
// - name() says which output it is, for tests and diagnostics.
// - lock()/unlock() exclude the fill callback. Every other call below is made
//   with the lock held, and none of them waits for a server: they ask and
//   return.
// - setPaused(true) stops the output taking and playing frames; what it holds
//   plays on after setPaused(false), unless a flush drops it first.
// - flush() drops what the output holds that has not reached the listener, as
//   far as it can, and returns its index now: every frame taken after the call
//   is heard after every frame taken before it. (A frame it could not drop is
//   still heard, before the new ones.)
// - heard() says which frame the listener hears at a moment: `frames` of the
//   output's index had been heard at `at` (steady-clock nanoseconds; `at` may
//   lie ahead where the first frame is still on its way). While `playing`, the
//   frames after those are heard at the output's rate from `at` on, but never
//   more than `limit` (what the output has been given: nothing it was not given
//   can be heard, however late it is). False while the output cannot tell (at
//   the start, just after a flush).
// - running() is false once the output is lost for good (the server went away,
//   the device was unplugged): the clock then goes on without it.
// - Destruction closes the output; it may wait for the output's thread to end,
//   never for a server's answer.
class SoundOutput {
public:
    // Writes `count` frames of `channels` interleaved signed 16-bit samples.
    using Fill = void (*)(void* user, int16_t* frames, int count);

    enum class Failure { None, Absent, Unresponsive };

    struct Heard {
        uint64_t frames = 0;
        int64_t at = 0;
        bool playing = false;
        uint64_t limit = UINT64_MAX;
    };

    virtual ~SoundOutput() = default;

    virtual const char* name() const = 0;  // "PulseAudio", "silent", ...
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual void setPaused(bool paused) = 0;
    virtual uint64_t flush() = 0;
    virtual bool heard(Heard* heard) = 0;
    virtual bool running() = 0;

    // The steady clock every output's times are on, in nanoseconds.
    static int64_t now();

protected:
    SoundOutput() = default;

private:
    SoundOutput(const SoundOutput&) = delete;
    SoundOutput& operator=(const SoundOutput&) = delete;
};

// How long opening the output may hold the program, all outputs tried
// together: a server that takes the connection and never answers costs this
// much at most, once.
const int64_t soundOutputWaitNanoseconds = 3000000000;

// The output for this machine: the sound system's own (on Linux PipeWire
// where its library is there and its daemon answers with somewhere to play,
// else PulseAudio; on Windows WASAPI), else SDL's, else the silent one, which
// always opens. `silent` asks for the silent one at once. SDL_AUDIODRIVER
// naming a driver keeps the servers' own outputs out unless it names theirs.
// A server that took the connection and did not answer in time is not asked
// again through another library: then silence.
SoundOutput* openSoundOutput(int rate, int channels, SoundOutput::Fill fill, void* user, bool silent);
