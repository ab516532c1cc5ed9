// The music's clock on Windows' own audio engine, run under Wine by
// test_wine.py on a PulseAudio of its own: the output chosen is WASAPI, and
// the position follows real time, holds while paused, reads exactly what
// was set and plays on from there. With --deadline, where the sound server
// takes the connection and never answers: the output gives up within its
// time and the music plays on the silent output.
//
// usage: wasapi_check FILE.mp3 [--deadline]
// Prints a line per check; status 1 when one fails.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "FmodAudio.h"
#include "platform/SoundOutput.h"

namespace {

int failures = 0;

void check(bool ok, const char* what, double value) {
    std::printf("wasapi_check: %s: %s (%.3f)\n", ok ? "ok" : "FAILED", what, value);
    if (!ok)
        ++failures;
}

double seconds() { return double(SoundOutput::now()) / 1e9; }

void silence(void*, int16_t* frames, int count) { std::memset(frames, 0, size_t(count) * 4); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: wasapi_check FILE.mp3 [--deadline]\n");
        return 2;
    }
    bool deadline = argc > 2 && std::strcmp(argv[2], "--deadline") == 0;

    double start = seconds();
    SoundOutput* output = openSoundOutput(44100, 2, silence, nullptr, false);
    double took = seconds() - start;
    if (deadline) {
        check(std::strcmp(output->name(), "silent") == 0, "a server that never answers gives the silent output",
              took);
        check(took < soundOutputWaitNanoseconds / 1e9 + 0.5, "within the time the outputs may take", took);
        delete output;
        return failures ? 1 : 0;
    }
    check(std::strcmp(output->name(), "WASAPI") == 0, "the output is WASAPI", took);
    delete output;

    FmodAudio audio;
    audio.play(argv[1]);
    check(audio.hasChannel(), "the music plays", 0);
    if (!audio.hasChannel())
        return 1;
    // Real time within 10 % over a second, never going back, once the
    // stream has settled (PulseAudio under Wine starts a new stream up to
    // about a second late, and Wine's clock runs slow till then).
    Sleep(2000);
    double p0 = audio.getPosition(), w0 = seconds(), last = p0;
    bool monotonic = true;
    while (seconds() - w0 < 1.0) {
        Sleep(5);
        double p = audio.getPosition();
        monotonic = monotonic && p >= last;
        last = p;
    }
    check(monotonic, "the position never goes back", last);
    double rate = (audio.getPosition() - p0) / (seconds() - w0);
    check(rate > 0.9 && rate < 1.1, "it moves at the rate of real time", rate);

    audio.pause();
    Sleep(100);
    double held = audio.getPosition();
    Sleep(300);
    check(!audio.isPlaying() && audio.getPosition() == held, "paused, it holds", audio.getPosition() - held);

    audio.setPosition(10.0);
    check(audio.getPosition() > 9.999 && audio.getPosition() < 10.001, "it reads what was set", audio.getPosition());
    audio.resume();
    Sleep(500);
    double resumed = audio.getPosition();
    check(resumed > 10.3 && resumed < 10.6, "resumed, it plays on from there", resumed);

    // Sought while playing: the sound from there is heard, the clock with it.
    audio.setPosition(30.0);
    Sleep(500);
    double sought = audio.getPosition();
    check(sought > 30.3 && sought < 30.6, "sought while playing, it plays on from there", sought);
    audio.stop();
    return failures ? 1 : 0;
}
