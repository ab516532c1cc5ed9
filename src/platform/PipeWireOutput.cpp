#include "platform/PipeWireOutput.h"

#include <dlfcn.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

struct PipeWireOutput::Graph {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener = {};
    spa_hook registryListener = {};
    spa_hook streamListener = {};
    Fill fill = nullptr;
    void* user = nullptr;
    int rate = 0;
    int frameBytes = 0;
    // Written on the loop's thread, read with the loop locked.
    int syncSequence = -1;
    bool synced = false;
    bool failed = false;  // the connection broke, or the stream failed
    bool sink = false;    // the daemon has somewhere to play sound
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
    bool paused = false;
    uint64_t taken = 0;
    // The last buffers handed over: where each ends in the frames taken,
    // and its length.
    struct Sent {
        uint64_t end;
        uint32_t frames;
    };
    Sent sent[16] = {};
    unsigned sentCount = 0;
};

namespace {

using Graph = PipeWireOutput::Graph;

// The library's functions, looked up when the output is first asked for: a
// system without PipeWire plays on the next output, and so does one whose
// PipeWire is older than 0.3.50 (no pw_stream_get_time_n). The interface
// calls (pw_core_add_listener, pw_core_sync, ...) are the headers' own, made
// through the objects these return.
struct Library {
    decltype(&pw_init) init;
    decltype(&pw_log_set_level) log_set_level;
    decltype(&pw_thread_loop_new) thread_loop_new;
    decltype(&pw_thread_loop_get_loop) thread_loop_get_loop;
    decltype(&pw_thread_loop_start) thread_loop_start;
    decltype(&pw_thread_loop_stop) thread_loop_stop;
    decltype(&pw_thread_loop_destroy) thread_loop_destroy;
    decltype(&pw_thread_loop_lock) thread_loop_lock;
    decltype(&pw_thread_loop_unlock) thread_loop_unlock;
    decltype(&pw_thread_loop_signal) thread_loop_signal;
    decltype(&pw_thread_loop_get_time) thread_loop_get_time;
    decltype(&pw_thread_loop_timed_wait_full) thread_loop_timed_wait_full;
    decltype(&pw_context_new) context_new;
    decltype(&pw_context_connect) context_connect;
    decltype(&pw_context_destroy) context_destroy;
    decltype(&pw_core_disconnect) core_disconnect;
    decltype(&pw_proxy_destroy) proxy_destroy;
    decltype(&pw_properties_new) properties_new;
    decltype(&pw_properties_set) properties_set;
    decltype(&pw_stream_new) stream_new;
    decltype(&pw_stream_add_listener) stream_add_listener;
    decltype(&pw_stream_connect) stream_connect;
    decltype(&pw_stream_destroy) stream_destroy;
    decltype(&pw_stream_dequeue_buffer) stream_dequeue_buffer;
    decltype(&pw_stream_queue_buffer) stream_queue_buffer;
    decltype(&pw_stream_set_active) stream_set_active;
    decltype(&pw_stream_get_time_n) stream_get_time_n;
};
Library pw;

template <class Function>
bool lookUp(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

// True when the library is there with every function above.
bool loadLibrary() {
    void* library = dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return false;
#define LOOK_UP(name) lookUp(library, "pw_" #name, pw.name)
    bool found = LOOK_UP(init) && LOOK_UP(log_set_level) && LOOK_UP(thread_loop_new) &&
                 LOOK_UP(thread_loop_get_loop) && LOOK_UP(thread_loop_start) && LOOK_UP(thread_loop_stop) &&
                 LOOK_UP(thread_loop_destroy) && LOOK_UP(thread_loop_lock) && LOOK_UP(thread_loop_unlock) &&
                 LOOK_UP(thread_loop_signal) && LOOK_UP(thread_loop_get_time) &&
                 LOOK_UP(thread_loop_timed_wait_full) && LOOK_UP(context_new) && LOOK_UP(context_connect) &&
                 LOOK_UP(context_destroy) && LOOK_UP(core_disconnect) && LOOK_UP(proxy_destroy) &&
                 LOOK_UP(properties_new) && LOOK_UP(properties_set) && LOOK_UP(stream_new) &&
                 LOOK_UP(stream_add_listener) && LOOK_UP(stream_connect) && LOOK_UP(stream_destroy) &&
                 LOOK_UP(stream_dequeue_buffer) && LOOK_UP(stream_queue_buffer) && LOOK_UP(stream_set_active) &&
                 LOOK_UP(stream_get_time_n);
#undef LOOK_UP
    if (!found)
        dlclose(library);
    return found;
}

void onCoreDone(void* data, uint32_t id, int sequence) {
    Graph* graph = static_cast<Graph*>(data);
    if (id == PW_ID_CORE && sequence == graph->syncSequence)
        graph->synced = true;
    pw.thread_loop_signal(graph->loop, false);
}

void onCoreError(void* data, uint32_t id, int, int, const char*) {
    Graph* graph = static_cast<Graph*>(data);
    if (id == PW_ID_CORE)
        graph->failed = true;
    pw.thread_loop_signal(graph->loop, false);
}

void onGlobal(void* data, uint32_t, uint32_t, const char* type, uint32_t, const spa_dict* properties) {
    Graph* graph = static_cast<Graph*>(data);
    if (!properties || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
        return;
    const char* kind = spa_dict_lookup(properties, PW_KEY_MEDIA_CLASS);
    if (kind && std::strcmp(kind, "Audio/Sink") == 0)
        graph->sink = true;
}

void onStreamState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    Graph* graph = static_cast<Graph*>(data);
    graph->state = state;
    if (state == PW_STREAM_STATE_ERROR)
        graph->failed = true;
    pw.thread_loop_signal(graph->loop, false);
}

// The graph wants sound: one buffer of what the player decodes, as much as
// it asks for (the resampler's need), which keeps what waits in the stream
// short.
void onProcess(void* data) {
    Graph* graph = static_cast<Graph*>(data);
    pw_buffer* buffer = pw.stream_dequeue_buffer(graph->stream);
    if (!buffer)
        return;
    spa_data& block = buffer->buffer->datas[0];
    uint32_t most = block.data ? block.maxsize / uint32_t(graph->frameBytes) : 0;
    uint32_t frames = std::min<uint32_t>(most, buffer->requested ? uint32_t(buffer->requested) : 1024);
    if (frames)
        graph->fill(graph->user, static_cast<int16_t*>(block.data), int(frames));
    block.chunk->offset = 0;
    block.chunk->stride = graph->frameBytes;
    block.chunk->size = frames * uint32_t(graph->frameBytes);
    buffer->size = frames;  // the time report's `queued` adds these up
    pw.stream_queue_buffer(graph->stream, buffer);
    graph->taken += frames;
    graph->sent[graph->sentCount++ % 16] = {graph->taken, frames};
}

const pw_core_events coreEvents = [] {
    pw_core_events events = {};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = onCoreDone;
    events.error = onCoreError;
    return events;
}();

const pw_registry_events registryEvents = [] {
    pw_registry_events events = {};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = onGlobal;
    return events;
}();

const pw_stream_events streamEvents = [] {
    pw_stream_events events = {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStreamState;
    events.process = onProcess;
    return events;
}();

// Waits, the loop locked, until done() or the deadline (steady-clock
// nanoseconds). True when done.
template <class Done>
bool waitFor(Graph* graph, Done done, int64_t deadline) {
    while (!done()) {
        int64_t left = deadline - SoundOutput::now();
        if (left <= 0)
            return false;
        timespec until;
        pw.thread_loop_get_time(graph->loop, &until, std::min<int64_t>(left, 50000000));
        pw.thread_loop_timed_wait_full(graph->loop, &until);
    }
    return true;
}

void release(Graph* graph) {
    if (graph->loop)
        pw.thread_loop_stop(graph->loop);
    if (graph->stream)
        pw.stream_destroy(graph->stream);
    if (graph->registry) {
        spa_hook_remove(&graph->registryListener);
        pw.proxy_destroy(reinterpret_cast<pw_proxy*>(graph->registry));
    }
    if (graph->core) {
        spa_hook_remove(&graph->coreListener);
        pw.core_disconnect(graph->core);
    }
    if (graph->context)
        pw.context_destroy(graph->context);
    if (graph->loop)
        pw.thread_loop_destroy(graph->loop);
    delete graph;
}

// SDL_AUDIODRIVER names the driver the user wants.
bool daemonWanted() {
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return !driver || !*driver || std::strcmp(driver, "pipewire") == 0;
}

// Loads and starts the library once; false where it is not to be had.
bool startLibrary() {
    static const bool started = [] {
        if (!loadLibrary())
            return false;
        pw.init(nullptr, nullptr);
        // The library reports a daemon it cannot reach on the console, which
        // stays the program's own; PIPEWIRE_DEBUG still asks for its messages.
        if (!std::getenv("PIPEWIRE_DEBUG"))
            pw.log_set_level(SPA_LOG_LEVEL_NONE);
        return true;
    }();
    return started;
}

}  // namespace

PipeWireOutput* PipeWireOutput::open(int rate, int channels, Fill fill, void* user, int64_t deadline,
                                     Failure* failure) {
    *failure = Failure::Absent;
    if (!daemonWanted() || channels < 1 || channels > int(SPA_AUDIO_MAX_CHANNELS) || !startLibrary())
        return nullptr;
    Graph* graph = new Graph;
    graph->fill = fill;
    graph->user = user;
    graph->rate = rate;
    graph->frameBytes = 2 * channels;
    graph->loop = pw.thread_loop_new("velvoria-sound", nullptr);
    if (!graph->loop) {
        delete graph;
        return nullptr;
    }
    graph->context = pw.context_new(pw.thread_loop_get_loop(graph->loop), nullptr, 0);
    if (!graph->context || pw.thread_loop_start(graph->loop) != 0) {
        release(graph);
        return nullptr;
    }
    pw.thread_loop_lock(graph->loop);
    bool ready = false;
    // No daemon: nothing to connect to, at once.
    graph->core = pw.context_connect(graph->context, nullptr, 0);
    if (graph->core) {
        pw_core_add_listener(graph->core, &graph->coreListener, &coreEvents, graph);
        graph->registry = pw_core_get_registry(graph->core, PW_VERSION_REGISTRY, 0);
        if (graph->registry)
            pw_registry_add_listener(graph->registry, &graph->registryListener, &registryEvents, graph);
        // The daemon lists what it has, then answers the sync.
        graph->syncSequence = pw_core_sync(graph->core, PW_ID_CORE, 0);
        if (!waitFor(graph, [&] { return graph->synced || graph->failed; }, deadline))
            *failure = Failure::Unresponsive;
        ready = graph->synced && !graph->failed && graph->sink;
    }
    if (ready) {
        pw_properties* properties = pw.properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                      PW_KEY_MEDIA_ROLE, "Music", nullptr);
        if (const char* latency = std::getenv("PIPEWIRE_LATENCY"))
            pw.properties_set(properties, PW_KEY_NODE_LATENCY, latency);
        graph->stream = pw.stream_new(graph->core, "Music", properties);
        ready = graph->stream != nullptr;
    }
    if (ready) {
        pw.stream_add_listener(graph->stream, &graph->streamListener, &streamEvents, graph);
        spa_audio_info_raw format = {};
        format.format = SPA_AUDIO_FORMAT_S16;
        format.rate = uint32_t(rate);
        format.channels = uint32_t(channels);
        if (channels == 1) {
            format.position[0] = SPA_AUDIO_CHANNEL_MONO;
        } else if (channels == 2) {
            format.position[0] = SPA_AUDIO_CHANNEL_FL;
            format.position[1] = SPA_AUDIO_CHANNEL_FR;
        } else {
            format.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
        }
        uint8_t space[1024];
        spa_pod_builder builder;
        spa_pod_builder_init(&builder, space, sizeof space);
        const spa_pod* parameters[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
        pw_stream_flags flags = pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
        ready = pw.stream_connect(graph->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, parameters, 1) == 0;
        // Playing, or refused. A stream the daemon never links (no session
        // manager) or never starts is a daemon that does not answer.
        if (ready && !waitFor(graph, [&] { return graph->state == PW_STREAM_STATE_STREAMING || graph->failed; },
                              deadline))
            *failure = Failure::Unresponsive;
        ready = ready && graph->state == PW_STREAM_STATE_STREAMING && !graph->failed;
    }
    pw.thread_loop_unlock(graph->loop);
    if (!ready) {
        release(graph);
        return nullptr;
    }
    *failure = Failure::None;
    return new PipeWireOutput(graph);
}

PipeWireOutput::~PipeWireOutput() { release(graph); }

void PipeWireOutput::lock() { pw.thread_loop_lock(graph->loop); }
void PipeWireOutput::unlock() { pw.thread_loop_unlock(graph->loop); }

void PipeWireOutput::setPaused(bool paused) {
    graph->paused = paused;
    pw.stream_set_active(graph->stream, !paused);
}

// The few buffers waiting in the stream (one cycle's worth) play before the
// frames taken after this; dropping them would leave the stream's time report
// counting what it no longer holds.
uint64_t PipeWireOutput::flush() { return graph->taken; }

// The report is of a cycle of the graph: its time, the frames of ours the
// stream had not taken by then (`queued`), what its resampler held
// (`buffered`) and how long the graph and the device take from there
// (`delay`, in the graph's rate). The buffer the stream took last is the one
// that cycle plays: its first frame, less what the resampler held back, is
// the frame reaching the device at the cycle's time and heard `delay` later.
bool PipeWireOutput::heard(Heard* heard) {
    pw_time time = {};
    if (pw.stream_get_time_n(graph->stream, &time, sizeof time) < 0 || time.rate.denom == 0 || time.now == 0)
        return false;
    uint64_t taken = graph->taken > time.queued ? graph->taken - time.queued : 0;
    uint32_t playing = 0;
    for (unsigned back = 1; back <= 16 && back <= graph->sentCount && !playing; ++back) {
        const Graph::Sent& sent = graph->sent[(graph->sentCount - back) % 16];
        if (sent.end == taken)
            playing = sent.frames;
    }
    double rate = graph->rate;
    double delay = double(time.delay) * time.rate.num / time.rate.denom;  // seconds
    double frame = double(taken) - double(playing) - double(time.buffered) - delay * rate;
    timespec monotonic;
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    int64_t age = int64_t(monotonic.tv_sec) * 1000000000 + monotonic.tv_nsec - time.now;
    int64_t at = SoundOutput::now() - age;
    if (frame < 0) {
        // The first frame is still on its way: it is heard that much later.
        at += int64_t(-frame * 1e9 / rate);
        frame = 0;
    }
    heard->frames = uint64_t(frame);
    heard->at = at;
    heard->playing = graph->state == PW_STREAM_STATE_STREAMING && !graph->paused;
    heard->limit = graph->taken;
    return true;
}

bool PipeWireOutput::running() { return !graph->failed && graph->state != PW_STREAM_STATE_UNCONNECTED; }
