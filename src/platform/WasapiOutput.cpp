#include "platform/WasapiOutput.h"

#include <windows.h>
// windows.h first: the audio headers build on it.
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

// What the program and the thread share. Everything below `lock` is read
// and written with it held; fill is called with it held.
struct WasapiOutput::Stream {
    Fill fill = nullptr;
    void* user = nullptr;
    int rate = 0;
    int channels = 0;

    std::mutex lock;
    std::condition_variable changed;  // opened, or the thread ended
    enum class Stage { Opening, Open, Failed, Ended } stage = Stage::Opening;
    bool closing = false;  // the output is closed or was given up on: no more fill
    bool paused = false;
    uint64_t flushes = 0;  // asked for so far
    uint64_t taken = 0;
    // The frame the engine's position 0 stands for: the frames taken
    // before its last reset.
    uint64_t base = 0;
    bool known = false;  // a position read since the last flush
    bool playing = false;
    uint64_t heardFrames = 0;
    int64_t heardAt = 0;
    bool lost = false;
};

namespace {

template <class T>
struct Com {
    T* p = nullptr;
    ~Com() {
        if (p)
            p->Release();
    }
    T* operator->() const { return p; }
    void** out() { return reinterpret_cast<void**>(&p); }
};

// The thread tops the engine's buffer up and reads its clock every
// millisecond, on a timer rather than the engine's event: under Wine every
// event set and waited for is a round trip to its server, which on a busy
// machine held the engine's own period thread back for hundreds of
// milliseconds, and the sound with it. Four of the engine's usual periods
// leave room for a thread woken late (Windows' timer is as coarse as
// 15.6 ms where nothing asked it to be finer).
const REFERENCE_TIME bufferDuration = 400000;  // 100 ns units
const DWORD readMilliseconds = 1;

// The engine's objects, the thread's alone.
struct Engine {
    Com<IMMDeviceEnumerator> enumerator;
    Com<IMMDevice> device;
    Com<IAudioClient> client;
    Com<IAudioRenderClient> render;
    Com<IAudioClock> clock;
    UINT32 bufferFrames = 0;
    UINT64 frequency = 0;  // the clock's position units a second
    int64_t period = 10000000;  // the engine's, in nanoseconds
    LARGE_INTEGER counterFrequency{};

    // False where there is no device to play on, or it refuses the stream.
    bool open(int rate, int channels) {
        if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                    __uuidof(IMMDeviceEnumerator), enumerator.out())) ||
            FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device.p)))
            return false;
        WAVEFORMATEX format;
        std::memset(&format, 0, sizeof format);
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = WORD(channels);
        format.nSamplesPerSec = DWORD(rate);
        format.wBitsPerSample = 16;
        format.nBlockAlign = WORD(2 * channels);
        format.nAvgBytesPerSec = DWORD(rate) * format.nBlockAlign;
        // The engine converts to its own mix format; a system that does not
        // know how is asked for the format as it is.
        const DWORD converted = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
        bool initialised = false;
        for (DWORD flags : {converted, DWORD(0)}) {
            Com<IAudioClient> tried;
            if (FAILED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, tried.out())))
                return false;
            if (SUCCEEDED(tried->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, bufferDuration, 0, &format, nullptr))) {
                std::swap(client.p, tried.p);
                initialised = true;
                break;
            }
        }
        REFERENCE_TIME devicePeriod = 0;
        if (initialised && SUCCEEDED(client->GetDevicePeriod(&devicePeriod, nullptr)) && devicePeriod > 0)
            period = int64_t(devicePeriod) * 100;
        return initialised && SUCCEEDED(client->GetBufferSize(&bufferFrames)) && bufferFrames > 0 &&
               SUCCEEDED(client->GetService(__uuidof(IAudioRenderClient), render.out())) &&
               SUCCEEDED(client->GetService(__uuidof(IAudioClock), clock.out())) &&
               SUCCEEDED(clock->GetFrequency(&frequency)) && frequency > 0 &&
               QueryPerformanceFrequency(&counterFrequency) && counterFrequency.QuadPart > 0;
    }

    // The performance counter now, in the 100 ns units the engine's clock
    // stamps its positions in.
    int64_t counterNow() const {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        int64_t f = counterFrequency.QuadPart;
        return counter.QuadPart / f * 10000000 + counter.QuadPart % f * 10000000 / f;
    }
};

// The engine position's frames at the stream's rate.
uint64_t framesAt(UINT64 position, UINT64 frequency, int rate) {
    return position / frequency * uint64_t(rate) + position % frequency * uint64_t(rate) / frequency;
}

// Hands the engine what it has room for, follows what the program asks,
// and reads the engine's clock. False when the device is gone.
bool play(WasapiOutput::Stream& stream, Engine& engine) {
    bool started = false;
    uint64_t flushesDone;
    {
        std::lock_guard<std::mutex> hold(stream.lock);
        flushesDone = stream.flushes;
    }
    // The position read last, and when it was first read.
    UINT64 seen = UINT64_MAX;
    int64_t seenAt = 0;
    for (;;) {
        bool closing, paused;
        uint64_t flushes;
        {
            std::lock_guard<std::mutex> hold(stream.lock);
            closing = stream.closing;
            paused = stream.paused;
            flushes = stream.flushes;
        }
        if (closing)
            break;
        if (flushes != flushesDone) {
            // What the engine holds is dropped, and its position starts
            // again from 0 at the frames taken so far: nothing was taken
            // since the flush was asked for.
            if (started)
                engine.client->Stop();
            started = false;
            if (FAILED(engine.client->Reset()))
                return false;
            std::lock_guard<std::mutex> hold(stream.lock);
            stream.base = stream.taken;
            flushesDone = flushes;
            seen = UINT64_MAX;
        }
        if (paused && started) {
            if (FAILED(engine.client->Stop()))
                return false;
            started = false;
        }
        if (!paused) {
            UINT32 padding = 0;
            if (FAILED(engine.client->GetCurrentPadding(&padding)))
                return false;
            UINT32 room = padding < engine.bufferFrames ? engine.bufferFrames - padding : 0;
            if (room > 0) {
                BYTE* data = nullptr;
                if (FAILED(engine.render->GetBuffer(room, &data)))
                    return false;
                bool filled = false;
                {
                    std::lock_guard<std::mutex> hold(stream.lock);
                    if (!stream.closing && stream.flushes == flushesDone) {
                        stream.fill(stream.user, reinterpret_cast<int16_t*>(data), int(room));
                        stream.taken += room;
                        filled = true;
                    }
                }
                if (FAILED(engine.render->ReleaseBuffer(filled ? room : 0, 0)))
                    return false;
                if (!filled)
                    continue;  // asked to close or flush meanwhile
            }
            if (!started) {
                if (FAILED(engine.client->Start()))
                    return false;
                started = true;
            }
        }
        // Where the listener is: the engine's position, stamped with the
        // performance counter, moved onto the program's steady clock.
        UINT64 position = 0, stamp = 0;
        if (FAILED(engine.clock->GetPosition(&position, &stamp)))
            return false;
        int64_t counter = engine.counterNow();
        int64_t now = SoundOutput::now();
        int64_t at = stamp ? now - (counter - int64_t(stamp)) * 100 : now;
        // A position that has not moved since an earlier reading was there
        // by then (Wine's engine moves it on a period at a time, and stamps
        // it with the moment it is asked): the first reading of it is the
        // closest. One that stands for more than two periods has stopped,
        // and nothing past it is heard until it moves again; nor before it
        // first moves.
        if (position != seen) {
            seen = position;
            seenAt = at;
        }
        bool moving = position > 0 && at - seenAt <= 2 * engine.period;
        {
            std::lock_guard<std::mutex> hold(stream.lock);
            if (stream.flushes == flushesDone) {
                stream.heardFrames = stream.base + framesAt(position, engine.frequency, stream.rate);
                stream.heardAt = seenAt;
                stream.known = true;
                stream.playing = started && moving;
            }
        }
        Sleep(readMilliseconds);
    }
    if (started)
        engine.client->Stop();
    return true;
}

void run(std::shared_ptr<WasapiOutput::Stream> stream) {
    using Stage = WasapiOutput::Stream::Stage;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        Engine engine;
        bool opened = SUCCEEDED(com) && engine.open(stream->rate, stream->channels);
        {
            std::lock_guard<std::mutex> hold(stream->lock);
            opened = opened && !stream->closing;
            stream->stage = opened ? Stage::Open : Stage::Failed;
            stream->changed.notify_all();
        }
        if (opened && !play(*stream, engine)) {
            std::lock_guard<std::mutex> hold(stream->lock);
            stream->lost = true;
        }
    }  // the engine's objects go before the apartment
    if (SUCCEEDED(com))
        CoUninitialize();
    std::lock_guard<std::mutex> hold(stream->lock);
    stream->stage = Stage::Ended;
    stream->changed.notify_all();
}

// SDL_AUDIODRIVER names the driver the user wants; only "wasapi" is this
// one.
bool wanted() {
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return !driver || !*driver || _stricmp(driver, "wasapi") == 0;
}

}  // namespace

WasapiOutput* WasapiOutput::open(int rate, int channels, Fill fill, void* user, int64_t deadline,
                                 Failure* failure) {
    *failure = Failure::Absent;
    if (!wanted() || rate <= 0 || channels < 1 || channels > 8)
        return nullptr;
    auto stream = std::make_shared<Stream>();
    stream->fill = fill;
    stream->user = user;
    stream->rate = rate;
    stream->channels = channels;
    std::thread thread(run, stream);
    std::unique_lock<std::mutex> hold(stream->lock);
    auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline));
    stream->changed.wait_until(hold, until, [&] { return stream->stage != Stream::Stage::Opening; });
    if (stream->stage == Stream::Stage::Open) {
        hold.unlock();
        *failure = Failure::None;
        return new WasapiOutput(stream, std::move(thread));
    }
    if (stream->stage == Stream::Stage::Opening) {
        // The device took the call and has not answered: the thread ends
        // when it does, without playing.
        stream->closing = true;
        *failure = Failure::Unresponsive;
        hold.unlock();
        thread.detach();
        return nullptr;
    }
    hold.unlock();
    thread.join();
    return nullptr;
}

WasapiOutput::WasapiOutput(std::shared_ptr<Stream> stream, std::thread thread)
    : stream(std::move(stream)), thread(std::move(thread)) {}

// The thread stops the engine and lets it go; an engine that does not
// answer keeps the thread, not the program (nothing is filled after this).
WasapiOutput::~WasapiOutput() {
    std::unique_lock<std::mutex> hold(stream->lock);
    stream->closing = true;
    bool ended = stream->changed.wait_for(hold, std::chrono::seconds(1),
                                          [&] { return stream->stage == Stream::Stage::Ended; });
    hold.unlock();
    if (ended)
        thread.join();
    else
        thread.detach();
}

void WasapiOutput::lock() { stream->lock.lock(); }
void WasapiOutput::unlock() { stream->lock.unlock(); }

// Both are carried out by the thread within a millisecond; until the flush
// is, the output cannot tell what is heard.
void WasapiOutput::setPaused(bool paused) { stream->paused = paused; }

uint64_t WasapiOutput::flush() {
    ++stream->flushes;
    stream->known = false;
    return stream->taken;
}

bool WasapiOutput::heard(Heard* heard) {
    if (!stream->known)
        return false;
    heard->frames = stream->heardFrames;
    heard->at = stream->heardAt;
    heard->playing = stream->playing && !stream->paused;
    heard->limit = stream->taken;
    return true;
}

bool WasapiOutput::running() { return !stream->lost; }
