/* Records what a PipeWire sink plays (its monitor) as 16-bit mono at the
 * graph's rate, through PipeWire's own API, and for each block the time its
 * first sample was played, by the sink's own clock, without any sound
 * server's latency report in between (the PulseAudio recorder's reports
 * through PipeWire's PulseAudio service move by parts of a cycle). A sink's
 * monitor hands on in a cycle what the sink played in the cycle before (the
 * sink drives the graph and takes its sound last): a block's first sample
 * was played one block's length before the time of the cycle that brings it.
 * avsync_pw_reference checks that.
 *
 * It records for SECONDS, or until SIGTERM or SIGINT.
 *
 * usage: avsync_pw_recorder SINK RATE SECONDS SAMPLES.raw TIMES.txt
 * TIMES.txt: one line a block, "sample-index monotonic-ns". */
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/audio/format-utils.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static struct pw_stream* stream;
static FILE* samples;
static FILE* times;
static long long recorded;
static long long rate;

/* On the graph's own thread, in the cycle that carries the block. */
static void on_process(void* user) {
    (void)user;
    struct pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (!buffer)
        return;
    struct spa_data* block = &buffer->buffer->datas[0];
    struct pw_time time;
    if (block->data && pw_stream_get_time_n(stream, &time, sizeof time) == 0 && time.now > 0) {
        uint32_t bytes = block->chunk->size;
        fprintf(times, "%lld %lld\n", recorded, (long long)time.now - (long long)(bytes / 2) * 1000000000LL / rate);
        fwrite((char*)block->data + block->chunk->offset, 1, bytes, samples);
        recorded += bytes / 2;
    }
    pw_stream_queue_buffer(stream, buffer);
}

static const struct pw_stream_events events = {
    PW_VERSION_STREAM_EVENTS,
    .process = on_process,
};

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: avsync_pw_recorder SINK RATE SECONDS SAMPLES.raw TIMES.txt\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, NULL); /* PipeWire's threads inherit it */
    samples = fopen(argv[4], "wb");
    times = fopen(argv[5], "w");
    if (!samples || !times) {
        perror("avsync_pw_recorder");
        return 1;
    }
    rate = atoi(argv[2]);
    pw_init(&argc, &argv);
    struct pw_thread_loop* loop = pw_thread_loop_new("recorder", NULL);
    pw_thread_loop_lock(loop);
    pw_thread_loop_start(loop);
    stream = pw_stream_new_simple(pw_thread_loop_get_loop(loop), "monitor",
                                  pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                    PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_TARGET_OBJECT,
                                                    argv[1], NULL),
                                  &events, NULL);
    struct spa_audio_info_raw format = {.format = SPA_AUDIO_FORMAT_S16, .rate = (uint32_t)atoi(argv[2]),
                                        .channels = 1, .position = {SPA_AUDIO_CHANNEL_MONO}};
    uint8_t space[1024];
    struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof space);
    const struct spa_pod* parameters[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS,
                      parameters, 1);
    pw_thread_loop_unlock(loop);

    double seconds = atof(argv[3]);
    struct timespec length = {(time_t)seconds, (long)((seconds - (long)seconds) * 1e9)};
    sigtimedwait(&stop, NULL, &length);

    pw_thread_loop_lock(loop);
    pw_stream_destroy(stream);
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_thread_loop_destroy(loop);
    fclose(samples);
    fclose(times);
    return recorded > 0 ? 0 : 1;
}
