/* libpipewire-0.3.so.0 as PipeWire before 0.3.50 has it: the functions the
 * PipeWire output calls, but pw_stream_get_time_n, which came in 0.3.50 (and
 * pw_stream_get_time, which it replaced). Any call is a fault: the output is
 * to leave such a library alone. */
#include <stdlib.h>

#define UNCALLABLE(name) \
    void name(void) { abort(); }

UNCALLABLE(pw_init)
UNCALLABLE(pw_log_set_level)
UNCALLABLE(pw_thread_loop_new)
UNCALLABLE(pw_thread_loop_get_loop)
UNCALLABLE(pw_thread_loop_start)
UNCALLABLE(pw_thread_loop_stop)
UNCALLABLE(pw_thread_loop_destroy)
UNCALLABLE(pw_thread_loop_lock)
UNCALLABLE(pw_thread_loop_unlock)
UNCALLABLE(pw_thread_loop_signal)
UNCALLABLE(pw_thread_loop_get_time)
UNCALLABLE(pw_thread_loop_timed_wait_full)
UNCALLABLE(pw_context_new)
UNCALLABLE(pw_context_connect)
UNCALLABLE(pw_context_destroy)
UNCALLABLE(pw_core_disconnect)
UNCALLABLE(pw_proxy_destroy)
UNCALLABLE(pw_properties_new)
UNCALLABLE(pw_properties_set)
UNCALLABLE(pw_stream_new)
UNCALLABLE(pw_stream_add_listener)
UNCALLABLE(pw_stream_connect)
UNCALLABLE(pw_stream_destroy)
UNCALLABLE(pw_stream_dequeue_buffer)
UNCALLABLE(pw_stream_queue_buffer)
UNCALLABLE(pw_stream_set_active)
UNCALLABLE(pw_stream_get_time)
