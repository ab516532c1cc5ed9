#pragma once

#include <string>

#include "platform/SoundOutput.h"

// The browser's sound output: the page's Web Audio context playing the music
// the page decoded while it loaded (page.js; decodeAudioData does the MP3),
// from a buffer source that is started at a frame of the music and stopped,
// never fed: nothing is pulled frame by frame. Its index is the context's
// time, counted in frames of the music's rate; its reports are the context's
// output stamps (the context time heard at a moment of performance.now(),
// which is SoundOutput::now()'s clock here), and only real ones: until the
// output has really started, Chromium answers with no moment (a
// performanceTime of 0). Firefox's stamps say only that its context time less
// the latency it states is heard now, and its page sees that time in blocks
// of 20 to 150 ms: such a stamp is taken as heard when the page first saw it,
// with the eighth its stated latency falls short on average (read()), and
// the playback clock follows the earliest of them (setReportSpread, with
// reportSpreadNanoseconds).
class WebAudioOutput : public SoundOutput {
public:
    // How late the page may first see a report: Firefox's context time
    // comes in blocks of up to 150 ms on a busy machine.
    static const int64_t reportSpreadNanoseconds = 150000000;
    // How far ahead of the context's time, as the page sees it, a buffer is
    // started. The page sees that time late (Firefox's by up to a tenth of a
    // second on a busy machine), and a source started at a time the context
    // has passed begins when it gets there, from the frame it was given: the
    // music would be late by as much, unseen. Started ahead, it begins on
    // the frame the index says.
    static constexpr double startAheadSeconds = 0.2;
    // How long the context plays before its latency is first asked for
    // (Firefox measures it once, at the first ask; its stream takes a
    // moment to fill).
    static constexpr double settleSeconds = 0.3;

    // The decoded music at `path` on the page's context; null where the page
    // has not decoded it or has no context.
    static WebAudioOutput* open(const char* path);
    // The rate of the decoded music at `path`; 0 where there is none.
    static int decodedRate(const char* path);
    ~WebAudioOutput() override;  // the music stops

    // The music's rate: the index counts frames of it.
    int rate() const { return musicRate; }
    // Whether the context runs and says when its sound is heard. A context
    // that never does has no sound output to play on (a browser without an
    // audio device keeps it suspended).
    bool started();
    // Whether the context says it runs, stamps or not (Chromium's runs a
    // second or more before its output starts, on a busy machine longer).
    bool contextRuns();
    // The music's frame the next flush starts the buffer at.
    void cue(uint64_t frame) { cued = frame; }

    const char* name() const override { return "Web Audio"; }
    void lock() override {}  // everything runs on the page's one thread
    void unlock() override {}
    // The context's time, the index, runs on while paused; resumed, the
    // buffer plays from the frame cued at the last flush, moved on by the
    // index from the flush's start (the playback clock flushes first, so
    // from that frame).
    void setPaused(bool paused) override;
    // Stops the buffer and, unless paused, starts it again at the cued frame
    // a moment ahead (startAheadSeconds); returns the frame of the index it
    // starts at.
    uint64_t flush() override;
    bool heard(Heard* heard) override;
    bool running() override { return true; }

private:
    struct Clock;
    WebAudioOutput(const char* path, int rate) : path(path), musicRate(rate) {}
    Clock read();  // the context's clocks and state, its stamp made honest
    uint64_t frames(double seconds) const;
    void play();

    const std::string path;
    const int musicRate;
    bool paused = false;
    uint64_t cued = 0;  // the music's frame at the output's frame cuedAt
    uint64_t cuedAt = 0;
    // The last stamp, whether the browser's stamps are only its context time
    // as the page sees it, and when the page first saw the last one.
    double lastStampTime = -1, lastStampAt = 0;
    bool movingStamps = false;
    double firstSeenAt = 0;
};
