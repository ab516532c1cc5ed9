/* Records a PulseAudio source (the monitor of the sink the player plays
 * into) as 16-bit mono at 44.1 kHz, and for each block read, the monotonic
 * time at which its first sample was played: the time of the read less the
 * stream's latency, which PulseAudio gives for a monitor as the time since
 * that sample left the sink (negative when it is still to be played).
 *
 * It records for SECONDS, or until SIGTERM or SIGINT.
 *
 * usage: avsync_recorder SOURCE SECONDS SAMPLES.raw TIMES.txt
 * TIMES.txt: one line a block, "sample-index monotonic-ns". */
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static pa_threaded_mainloop* loop;
static FILE* samples;
static FILE* times;
static long long recorded;

static long long monotonic_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void on_read(pa_stream* s, size_t bytes, void* user) {
    (void)bytes;
    (void)user;
    const void* data;
    size_t got;
    while (pa_stream_readable_size(s) > 0) {
        pa_usec_t latency = 0;
        int negative = 0;
        int timed = pa_stream_get_latency(s, &latency, &negative) == 0;
        long long now = monotonic_ns();
        if (pa_stream_peek(s, &data, &got) < 0 || got == 0)
            return;
        if (timed && data) {
            long long played = negative ? now + (long long)latency * 1000 : now - (long long)latency * 1000;
            fprintf(times, "%lld %lld\n", recorded, played);
        }
        if (data)
            fwrite(data, 1, got, samples);
        else
            for (size_t i = 0; i < got; ++i)
                fputc(0, samples);
        recorded += (long long)(got / 2);
        pa_stream_drop(s);
    }
}

static void on_state(pa_context* c, void* user) {
    (void)c;
    (void)user;
    pa_threaded_mainloop_signal(loop, 0);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: avsync_recorder SOURCE SECONDS SAMPLES.raw TIMES.txt\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, NULL); /* the server thread inherits it */
    samples = fopen(argv[3], "wb");
    times = fopen(argv[4], "w");
    if (!samples || !times) {
        perror("avsync_recorder");
        return 1;
    }
    loop = pa_threaded_mainloop_new();
    pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop), "velvoria avsync recorder");
    pa_context_set_state_callback(context, on_state, NULL);
    pa_threaded_mainloop_lock(loop);
    pa_threaded_mainloop_start(loop);
    if (pa_context_connect(context, NULL, PA_CONTEXT_NOAUTOSPAWN, NULL) < 0) {
        fprintf(stderr, "avsync_recorder: no sound server\n");
        return 1;
    }
    while (pa_context_get_state(context) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            fprintf(stderr, "avsync_recorder: %s\n", pa_strerror(pa_context_errno(context)));
            return 1;
        }
        pa_threaded_mainloop_wait(loop);
    }
    pa_sample_spec format = {PA_SAMPLE_S16LE, 44100, 1};
    pa_stream* stream = pa_stream_new(context, "monitor", &format, NULL);
    pa_stream_set_read_callback(stream, on_read, NULL);
    /* Small fragments: a time for every 5 ms of sound. */
    pa_buffer_attr attr;
    memset(&attr, 0xff, sizeof attr);
    attr.fragsize = (uint32_t)pa_usec_to_bytes(5000, &format);
    pa_stream_connect_record(stream, argv[1], &attr,
                             PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                 PA_STREAM_ADJUST_LATENCY);
    pa_threaded_mainloop_unlock(loop);

    struct timespec length = {(time_t)atof(argv[2]), (long)((atof(argv[2]) - (long)atof(argv[2])) * 1e9)};
    sigtimedwait(&stop, NULL, &length);

    pa_threaded_mainloop_lock(loop);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
    fclose(samples);
    fclose(times);
    return recorded > 0 ? 0 : 1;
}
