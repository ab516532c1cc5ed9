#include "platform/SoundOutput.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/SdlOutput.h"
#include "platform/SilentOutput.h"
#ifdef VELVORIA_PIPEWIRE
#include "platform/PipeWireOutput.h"
#endif
#ifdef VELVORIA_SOUND_SERVERS
#include "platform/PulseOutput.h"
#endif
#ifdef VELVORIA_WASAPI
#include "platform/WasapiOutput.h"
#endif

int64_t SoundOutput::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

// A server that took the connection and then kept silent: asked once.
bool serverUnresponsive = false;

}  // namespace

SoundOutput* openSoundOutput(int rate, int channels, SoundOutput::Fill fill, void* user, bool silent) {
    using Failure = SoundOutput::Failure;
    int64_t deadline = SoundOutput::now() + soundOutputWaitNanoseconds;
    Failure failure = serverUnresponsive ? Failure::Unresponsive : Failure::Absent;
    SoundOutput* output = nullptr;
#ifdef VELVORIA_PIPEWIRE
    // PipeWire's own stream where its library is there and its daemon
    // answers with somewhere to play: its PulseAudio service would only
    // stand between.
    if (!silent && failure != Failure::Unresponsive)
        output = PipeWireOutput::open(rate, channels, fill, user, deadline, &failure);
#endif
#ifdef VELVORIA_SOUND_SERVERS
    if (!output && !silent && failure != Failure::Unresponsive)
        output = PulseOutput::open(rate, channels, fill, user, deadline, &failure);
#endif
#ifdef VELVORIA_WASAPI
    // Windows' own audio engine.
    if (!output && !silent && failure != Failure::Unresponsive)
        output = WasapiOutput::open(rate, channels, fill, user, deadline, &failure);
#endif
    if (!output && !silent && failure != Failure::Unresponsive)
        output = SdlOutput::open(rate, channels, fill, user, deadline, &failure);
    if (failure == Failure::Unresponsive)
        serverUnresponsive = true;
    if (!output)
        output = SilentOutput::open(rate, channels, fill, user, deadline, &failure);
    return output;
}
