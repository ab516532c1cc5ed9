#include "platform/PulseOutput.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

struct PulseOutput::Server {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    Fill fill = nullptr;
    void* user = nullptr;
    int rate = 0;
    int frameBytes = 0;
    uint64_t taken = 0;  // frames handed to the server, dropped ones included
};

namespace {

void signalLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

void onContextState(pa_context*, void* user) { signalLoop(static_cast<pa_threaded_mainloop*>(user)); }
void onStreamState(pa_stream*, void* user) { signalLoop(static_cast<pa_threaded_mainloop*>(user)); }

// The server asks for sound: hand it what the player decodes, whole frames.
void onWrite(pa_stream* stream, size_t bytes, void* user) {
    PulseOutput::Server* server = static_cast<PulseOutput::Server*>(user);
    size_t frameBytes = size_t(server->frameBytes);
    while (bytes >= frameBytes) {
        void* data = nullptr;
        size_t chunk = bytes;
        if (pa_stream_begin_write(stream, &data, &chunk) < 0 || !data || chunk < frameBytes)
            return;
        chunk -= chunk % frameBytes;
        int frames = int(chunk / frameBytes);
        server->fill(server->user, static_cast<int16_t*>(data), frames);
        if (pa_stream_write(stream, data, chunk, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        server->taken += uint64_t(frames);
        bytes -= std::min(chunk, bytes);
    }
}

void onWake(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
    signalLoop(static_cast<pa_threaded_mainloop*>(user));
}

// Waits, the loop locked, until done() or the deadline (steady-clock
// nanoseconds): a server that takes the connection and then never answers
// (PipeWire without its session manager does that to a new stream) must not
// hold the program. True when done.
template <class Done>
bool waitFor(PulseOutput::Server* server, Done done, int64_t deadline) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(server->loop);
    while (!done()) {
        int64_t left = deadline - SoundOutput::now();
        if (left <= 0)
            return false;
        pa_usec_t wait = pa_usec_t(std::min<int64_t>(left / 1000 + 1, 50000));
        pa_time_event* wake = pa_context_rttime_new(server->context, pa_rtclock_now() + wait, onWake, server->loop);
        pa_threaded_mainloop_wait(server->loop);
        if (wake)
            api->time_free(wake);
    }
    return true;
}

// SDL_AUDIODRIVER names the driver the user wants; only PulseAudio's and
// PipeWire's are this server.
bool serverWanted() {
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return !driver || !*driver || std::strcmp(driver, "pulseaudio") == 0 || std::strcmp(driver, "pulse") == 0 ||
           std::strcmp(driver, "pipewire") == 0;
}

void release(PulseOutput::Server* server) {
    if (server->loop)
        pa_threaded_mainloop_stop(server->loop);
    if (server->stream) {
        pa_stream_disconnect(server->stream);
        pa_stream_unref(server->stream);
    }
    if (server->context) {
        pa_context_disconnect(server->context);
        pa_context_unref(server->context);
    }
    if (server->loop)
        pa_threaded_mainloop_free(server->loop);
    delete server;
}

bool contextSettled(pa_context* context) {
    pa_context_state_t state = pa_context_get_state(context);
    return !PA_CONTEXT_IS_GOOD(state) || state == PA_CONTEXT_READY;
}

bool streamSettled(pa_stream* stream) {
    pa_stream_state_t state = pa_stream_get_state(stream);
    return !PA_STREAM_IS_GOOD(state) || state == PA_STREAM_READY;
}

}  // namespace

PulseOutput* PulseOutput::open(int rate, int channels, Fill fill, void* user, int64_t deadline, Failure* failure) {
    *failure = Failure::Absent;
    if (!serverWanted() || channels < 1 || channels > int(PA_CHANNELS_MAX))
        return nullptr;
    Server* server = new Server;
    server->fill = fill;
    server->user = user;
    server->rate = rate;
    server->frameBytes = 2 * channels;
    server->loop = pa_threaded_mainloop_new();
    if (!server->loop) {
        delete server;
        return nullptr;
    }
    pa_threaded_mainloop_lock(server->loop);
    bool ready = false;
    pa_sample_spec format = {PA_SAMPLE_S16NE, uint32_t(rate), uint8_t(channels)};
    server->context = pa_context_new(pa_threaded_mainloop_get_api(server->loop), "Velvoria");
    if (server->context && pa_threaded_mainloop_start(server->loop) == 0) {
        pa_context_set_state_callback(server->context, onContextState, server->loop);
        // No server started on our behalf: where none runs, another output
        // takes over.
        if (pa_context_connect(server->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0) {
            if (!waitFor(server, [&] { return contextSettled(server->context); }, deadline))
                *failure = Failure::Unresponsive;
            ready = pa_context_get_state(server->context) == PA_CONTEXT_READY;
        }
    }
    if (ready) {
        server->stream = pa_stream_new(server->context, "Music", &format, nullptr);
        ready = server->stream != nullptr;
    }
    if (ready) {
        pa_stream_set_state_callback(server->stream, onStreamState, server->loop);
        pa_stream_set_write_callback(server->stream, onWrite, server);
        // About two of SDL's buffers queued on the server, as SDL asks;
        // PULSE_LATENCY_MSEC in the environment overrides it. The server
        // sends its timing now and then by itself.
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr);
        attr.tlength = uint32_t(pa_usec_to_bytes(46000, &format));
        pa_stream_flags_t flags = pa_stream_flags_t(PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        ready = pa_stream_connect_playback(server->stream, nullptr, &attr, flags, nullptr, nullptr) == 0;
        if (ready && !waitFor(server, [&] { return streamSettled(server->stream); }, deadline))
            *failure = Failure::Unresponsive;
        ready = ready && pa_stream_get_state(server->stream) == PA_STREAM_READY;
    }
    pa_threaded_mainloop_unlock(server->loop);
    if (!ready) {
        release(server);
        return nullptr;
    }
    *failure = Failure::None;
    return new PulseOutput(server);
}

PulseOutput::~PulseOutput() { release(server); }

void PulseOutput::lock() { pa_threaded_mainloop_lock(server->loop); }
void PulseOutput::unlock() { pa_threaded_mainloop_unlock(server->loop); }

// Neither waits for the server's answer: the timing it sends after them says
// what they did (libpulse marks the indexes unknown until then).
void PulseOutput::setPaused(bool paused) {
    if (pa_operation* operation = pa_stream_cork(server->stream, paused ? 1 : 0, nullptr, nullptr))
        pa_operation_unref(operation);
}

uint64_t PulseOutput::flush() {
    if (pa_operation* operation = pa_stream_flush(server->stream, nullptr, nullptr))
        pa_operation_unref(operation);
    return server->taken;
}

// The server's last timing report says which byte of the stream it had read
// and how long the sink takes to play a byte read, when it took those
// numbers. What was written after the byte heard then is still to be heard:
// counted back from the frames handed over, that is the frame heard then.
// (libpulse's own interpolation was seen to run ahead of the write index while
// a sink's latency settles at the start, reading as nothing pending.)
bool PulseOutput::heard(Heard* heard) {
    const pa_timing_info* timing = pa_stream_get_timing_info(server->stream);
    if (!timing || timing->read_index_corrupt || timing->write_index_corrupt)
        return false;
    double rate = server->rate;
    double read = double(std::max<int64_t>(timing->read_index, 0)) / server->frameBytes;
    double written = double(std::max<int64_t>(timing->write_index, 0)) / server->frameBytes;
    double pending = written - (read - double(timing->sink_usec) * rate / 1e6);
    double frame = double(server->taken) - std::max(pending, 0.0);
    int64_t at = SoundOutput::now() - int64_t(pa_timeval_age(&timing->timestamp)) * 1000;
    if (frame < 0) {
        // The first frame is still on its way: it is heard that much later.
        at += int64_t(-frame * 1e9 / rate);
        frame = 0;
    }
    heard->frames = uint64_t(frame);
    heard->at = at;
    heard->playing = timing->playing != 0;
    heard->limit = server->taken;
    return true;
}

bool PulseOutput::running() {
    return pa_context_get_state(server->context) == PA_CONTEXT_READY &&
           pa_stream_get_state(server->stream) == PA_STREAM_READY;
}
