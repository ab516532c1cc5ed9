// A plain WASAPI player, the yardstick for the program's own under Wine: it
// plays a 16-bit WAV file through the default device in shared mode and
// writes a line each time the position IAudioClock::GetPosition gives moves,
// as wine_player does: the monotonic times in nanoseconds just before and
// just after the reading, the same two of the reading before, and the
// position in milliseconds (the device's position, moved on by the time
// since its performance-counter stamp). It plays until the position reads
// SECONDS (10 s longer at most).
//
// usage: wasapi_reference FILE.wav SECONDS
//        wasapi_reference --clock   (for each line read, writes the monotonic
//                                    time in nanoseconds: how the caller puts
//                                    this clock against its own)
#include <windows.h>
// windows.h first: the audio headers build on it.
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wine_clock.h"

static int fail(const char* what, HRESULT result) {
    std::fprintf(stderr, "wasapi_reference: %s failed (0x%08lx)\n", what, (unsigned long)result);
    return 1;
}

// The samples and format of a RIFF WAVE file of 16-bit PCM.
static bool readWav(const char* path, WAVEFORMATEX* format, std::vector<char>* data) {
    FILE* file = std::fopen(path, "rb");
    if (!file)
        return false;
    std::vector<char> all;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        all.insert(all.end(), chunk, chunk + got);
    std::fclose(file);
    if (all.size() < 12 || std::memcmp(all.data(), "RIFF", 4) != 0 || std::memcmp(all.data() + 8, "WAVE", 4) != 0)
        return false;
    bool haveFormat = false;
    for (size_t at = 12; at + 8 <= all.size();) {
        uint32_t size;
        std::memcpy(&size, all.data() + at + 4, 4);
        size_t body = at + 8, end = body + size < all.size() ? body + size : all.size();
        if (std::memcmp(all.data() + at, "fmt ", 4) == 0 && size >= 16) {
            std::memset(format, 0, sizeof *format);
            std::memcpy(format, all.data() + body, 16);
            format->wFormatTag = WAVE_FORMAT_PCM;  // an extensible header of PCM reads the same
            haveFormat = format->wBitsPerSample == 16 && format->nChannels > 0;
        } else if (std::memcmp(all.data() + at, "data", 4) == 0) {
            data->assign(all.begin() + body, all.begin() + end);
            return haveFormat;
        }
        at = body + size + (size & 1);
    }
    return false;
}

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--clock") == 0) {
        char line[64];
        while (std::fgets(line, sizeof line, stdin)) {
            std::printf("%lld\n", monotonicNs());
            std::fflush(stdout);
        }
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: wasapi_reference FILE.wav SECONDS | --clock\n");
        return 2;
    }
    WAVEFORMATEX format;
    std::vector<char> samples;
    if (!readWav(argv[1], &format, &samples)) {
        std::fprintf(stderr, "wasapi_reference: %s is not a 16-bit PCM WAV file\n", argv[1]);
        return 1;
    }
    double seconds = std::atof(argv[2]);

    HRESULT r = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(r))
        return fail("CoInitializeEx", r);
    IMMDeviceEnumerator* enumerator = nullptr;
    IMMDevice* device = nullptr;
    IAudioClient* client = nullptr;
    IAudioRenderClient* render = nullptr;
    IAudioClock* clock = nullptr;
    if (FAILED(r = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                    __uuidof(IMMDeviceEnumerator), (void**)&enumerator)))
        return fail("CoCreateInstance", r);
    if (FAILED(r = enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)))
        return fail("GetDefaultAudioEndpoint", r);
    if (FAILED(r = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, (void**)&client)))
        return fail("Activate", r);
    if (FAILED(r = client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                      AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY,
                                      400000, 0, &format, nullptr)))
        return fail("Initialize", r);
    UINT32 bufferFrames = 0;
    UINT64 frequency = 0;
    if (FAILED(r = client->GetBufferSize(&bufferFrames)) ||
        FAILED(r = client->GetService(__uuidof(IAudioRenderClient), (void**)&render)) ||
        FAILED(r = client->GetService(__uuidof(IAudioClock), (void**)&clock)) ||
        FAILED(r = clock->GetFrequency(&frequency)))
        return fail("setting up the stream", r);
    LARGE_INTEGER counterFrequency;
    QueryPerformanceFrequency(&counterFrequency);

    size_t frameBytes = format.nBlockAlign, frames = samples.size() / frameBytes, written = 0;
    // Writes what the device has room for; silence after the file.
    auto feed = [&]() -> HRESULT {
        UINT32 padding = 0;
        HRESULT result = client->GetCurrentPadding(&padding);
        if (FAILED(result) || padding >= bufferFrames)
            return result;
        UINT32 room = bufferFrames - padding;
        BYTE* data = nullptr;
        if (FAILED(result = render->GetBuffer(room, &data)))
            return result;
        size_t copy = written < frames ? (frames - written < room ? frames - written : room) : 0;
        std::memcpy(data, samples.data() + written * frameBytes, copy * frameBytes);
        std::memset(data + copy * frameBytes, 0, (room - copy) * frameBytes);
        written += room;
        return render->ReleaseBuffer(room, 0);
    };
    if (FAILED(r = feed()) || FAILED(r = client->Start()))
        return fail("starting", r);

    long long start = monotonicNs(), last = -1, lastBefore = start;
    for (;;) {
        long long now = monotonicNs();
        UINT64 position = 0, stamp = 0;
        if (FAILED(r = clock->GetPosition(&position, &stamp)))
            return fail("GetPosition", r);
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        double since = stamp ? double(counter.QuadPart) / double(counterFrequency.QuadPart) - double(stamp) * 1e-7 : 0;
        long long ms = (long long)((double(position) / double(frequency) + since) * 1000.0 + 0.5);
        long long after = monotonicNs();
        if (ms != last)
            std::printf("%lld %lld %lld %lld\n", now, after, lastBefore, ms);
        last = ms;
        lastBefore = now;
        if (ms >= (long long)(seconds * 1000) || now - start > (long long)((seconds + 10) * 1e9))
            break;
        if (FAILED(r = feed()))
            return fail("writing", r);
        pauseHalfMillisecond();
    }
    client->Stop();
    clock->Release();
    render->Release();
    client->Release();
    device->Release();
    enumerator->Release();
    CoUninitialize();
    return 0;
}
