#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/PipeWireOutput.h"

// Run with the stub of an older libpipewire (old_libpipewire.c) first on the
// library path, beside a real PipeWire or none: the output does not call into
// the library, says it is absent, and the next output is tried.
TEST(OlderPipeWire, IsAnAbsentOutput) {
    void* found = dlopen("libpipewire-0.3.so.0", RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(found && dlsym(found, "pw_stream_connect") && !dlsym(found, "pw_stream_get_time_n"))
        << "the library found first is not the older one";
    dlclose(found);
    unsetenv("SDL_AUDIODRIVER");
    SoundOutput::Fill fill = [](void*, int16_t*, int) {};
    for (int attempt = 0; attempt < 2; ++attempt) {  // the library is looked at once, and remembered
        SoundOutput::Failure failure = SoundOutput::Failure::None;
        EXPECT_EQ(PipeWireOutput::open(48000, 2, fill, nullptr, SoundOutput::now() + 1000000000, &failure), nullptr);
        EXPECT_EQ(failure, SoundOutput::Failure::Absent);
    }
}
