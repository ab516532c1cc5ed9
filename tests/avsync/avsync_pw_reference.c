/* A reference for the PipeWire measurement: clicks placed by the graph's own
 * clock. Its stream is processed in the graph's cycle at the graph's rate
 * (no resampler), and the block it hands over in a cycle is played from that
 * cycle's time on, after the sink's delay: a click meant for time t goes at
 * (t - cycle time) * rate - delay into the block. The recorder must hear each
 * click at its time; what it hears instead is its own error.
 *
 * The first click comes 2 s after the first cycle, then one every 250 ms,
 * COUNT in all; their monotonic times in ns go to standard output, one a line.
 *
 * usage: avsync_pw_reference COUNT */
#include <math.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define RATE 48000
#define BURST (RATE / 250) /* 4 ms */

static struct pw_stream* stream;
static int count;
static long long first = -1;
static int next;      /* the next click to place */
static int burst = -1; /* where in a click the last block ended, or -1 */

static long long click_time(int k) { return first + 2000000000LL + 250000000LL * k; }

static void on_process(void* user) {
    (void)user;
    struct pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (!buffer)
        return;
    struct spa_data* block = &buffer->buffer->datas[0];
    int16_t* out = block->data;
    uint32_t frames = block->maxsize / 2;
    if (buffer->requested && buffer->requested < frames)
        frames = (uint32_t)buffer->requested;
    struct pw_time time;
    pw_stream_get_time_n(stream, &time, sizeof time);
    if (first < 0)
        first = time.now;
    long long delay = time.rate.denom ? time.delay * 1000000000LL * time.rate.num / time.rate.denom : 0;
    for (uint32_t i = 0; i < frames && out; ++i) {
        if (burst < 0 && next < count) {
            long long at = time.now + delay + (long long)i * 1000000000LL / RATE;
            if (at >= click_time(next)) {
                burst = 0;
                ++next;
            }
        }
        out[i] = 0;
        if (burst >= 0) {
            out[i] = (int16_t)(0.7 * 32767 * sin(2 * M_PI * 2000 * burst / RATE));
            if (++burst == BURST)
                burst = -1;
        }
    }
    block->chunk->offset = 0;
    block->chunk->stride = 2;
    block->chunk->size = frames * 2;
    buffer->size = frames;
    pw_stream_queue_buffer(stream, buffer);
}

static const struct pw_stream_events events = {
    PW_VERSION_STREAM_EVENTS,
    .process = on_process,
};

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: avsync_pw_reference COUNT\n");
        return 2;
    }
    count = atoi(argv[1]);
    pw_init(&argc, &argv);
    struct pw_thread_loop* loop = pw_thread_loop_new("reference", NULL);
    pw_thread_loop_lock(loop);
    pw_thread_loop_start(loop);
    stream = pw_stream_new_simple(pw_thread_loop_get_loop(loop), "reference clicks",
                                  pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                    NULL),
                                  &events, NULL);
    struct spa_audio_info_raw format = {.format = SPA_AUDIO_FORMAT_S16, .rate = RATE, .channels = 1,
                                        .position = {SPA_AUDIO_CHANNEL_MONO}};
    uint8_t space[1024];
    struct spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof space);
    const struct spa_pod* parameters[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS,
                      parameters, 1);
    pw_thread_loop_unlock(loop);
    /* Until the last click has been played, and a little longer. */
    for (int waited = 0; waited < 60000; waited += 100) {
        struct timespec pause = {0, 100000000};
        nanosleep(&pause, NULL);
        if (next == count && burst < 0 && waited > 3000)
            break;
    }
    struct timespec pause = {0, 500000000};
    nanosleep(&pause, NULL);
    pw_thread_loop_lock(loop);
    pw_stream_destroy(stream);
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_thread_loop_destroy(loop);
    if (next < count)
        return 1;
    for (int k = 0; k < count; ++k)
        printf("%lld\n", click_time(k));
    return 0;
}
