#include "platform/PulseOutput.h"

#ifdef VELVORIA_PULSE

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
};

namespace {

void signalLoop(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

void onContextState(pa_context*, void* user) { signalLoop(static_cast<pa_threaded_mainloop*>(user)); }
void onStreamState(pa_stream*, void* user) { signalLoop(static_cast<pa_threaded_mainloop*>(user)); }

// The server asks for sound: hand it what the player decodes.
void onWrite(pa_stream* stream, size_t bytes, void* user) {
    PulseOutput::Server* server = static_cast<PulseOutput::Server*>(user);
    while (bytes > 0) {
        void* data = nullptr;
        size_t chunk = bytes;
        if (pa_stream_begin_write(stream, &data, &chunk) < 0 || !data || chunk == 0)
            return;
        server->fill(server->user, static_cast<unsigned char*>(data), int(chunk));
        if (pa_stream_write(stream, data, chunk, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        bytes -= chunk < bytes ? chunk : bytes;
    }
}

void onOperation(pa_stream*, int, void* user) { signalLoop(static_cast<pa_threaded_mainloop*>(user)); }
void onWake(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
    signalLoop(static_cast<pa_threaded_mainloop*>(user));
}

// Waits, the loop locked, until done() or for `seconds` at most: a server
// that takes the connection and then never answers (PipeWire without its
// session manager does that to a new stream) must not hold the program.
template <class Done>
bool waitFor(PulseOutput::Server* server, Done done, double seconds) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(server->loop);
    pa_usec_t deadline = pa_rtclock_now() + pa_usec_t(seconds * 1e6);
    while (!done()) {
        pa_usec_t now = pa_rtclock_now();
        if (now >= deadline)
            return false;
        pa_time_event* wake = pa_context_rttime_new(server->context, std::min(deadline, now + 50000), onWake,
                                                    server->loop);
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

}  // namespace

PulseOutput* PulseOutput::open(int rate, int channels, Fill fill, void* user, bool paused) {
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
        // No server started on our behalf: where none runs, SDL's output
        // takes over.
        if (pa_context_connect(server->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0) {
            waitFor(server, [&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(server->context)) ||
                                         pa_context_get_state(server->context) == PA_CONTEXT_READY; }, 3.0);
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
        pa_stream_flags_t flags = pa_stream_flags_t(PA_STREAM_AUTO_TIMING_UPDATE |
                                                    PA_STREAM_ADJUST_LATENCY | (paused ? PA_STREAM_START_CORKED : 0));
        ready = pa_stream_connect_playback(server->stream, nullptr, &attr, flags, nullptr, nullptr) == 0 &&
                waitFor(server, [&] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(server->stream)) ||
                                             pa_stream_get_state(server->stream) == PA_STREAM_READY; }, 3.0) &&
                pa_stream_get_state(server->stream) == PA_STREAM_READY;
    }
    pa_threaded_mainloop_unlock(server->loop);
    if (!ready) {
        release(server);
        return nullptr;
    }
    PulseOutput* output = new PulseOutput;
    output->server = server;
    return output;
}

PulseOutput::~PulseOutput() { release(server); }

void PulseOutput::lock() { pa_threaded_mainloop_lock(server->loop); }
void PulseOutput::unlock() { pa_threaded_mainloop_unlock(server->loop); }

// Waits for the server to carry out an operation, so that what follows sees
// its effect; a second at most.
static void finish(PulseOutput::Server* server, pa_operation* operation) {
    if (!operation)
        return;
    if (!waitFor(server, [&] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; }, 1.0))
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
}

void PulseOutput::setPaused(bool paused) {
    finish(server, pa_stream_cork(server->stream, paused ? 1 : 0, onOperation, server->loop));
}

void PulseOutput::flush() { finish(server, pa_stream_flush(server->stream, onOperation, server->loop)); }

// The server's last timing report says which byte of the stream it had read
// and how long the sink takes to play a byte read, when it took those
// numbers; while playing, the byte heard moves on with the time since. What
// was written after that byte is still to be heard. (libpulse's own
// interpolation was seen to run ahead of the write index while a sink's
// latency settles at the start, reading as nothing pending.)
bool PulseOutput::pendingFrames(uint64_t* frames) {
    const pa_timing_info* timing = pa_stream_get_timing_info(server->stream);
    if (!timing || timing->read_index_corrupt || timing->write_index_corrupt)
        return false;
    double rate = server->rate;
    double heard = std::max<int64_t>(timing->read_index, 0) / double(server->frameBytes) -
                   double(timing->sink_usec) * rate / 1e6;
    if (timing->playing)
        heard += double(pa_timeval_age(&timing->timestamp)) * rate / 1e6;
    double written = std::max<int64_t>(timing->write_index, 0) / double(server->frameBytes);
    *frames = written > heard ? uint64_t(written - heard) : 0;
    return true;
}

bool PulseOutput::running() { return pa_stream_get_state(server->stream) == PA_STREAM_READY; }

#else

struct PulseOutput::Server {};

PulseOutput* PulseOutput::open(int, int, Fill, void*, bool) { return nullptr; }
PulseOutput::~PulseOutput() {}
void PulseOutput::lock() {}
void PulseOutput::unlock() {}
void PulseOutput::setPaused(bool) {}
void PulseOutput::flush() {}
bool PulseOutput::pendingFrames(uint64_t*) { return false; }
bool PulseOutput::running() { return false; }

#endif
