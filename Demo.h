#pragma once

#include <cstdint>
#include <memory>

#include "edit/EditClock.h"
#include "FmodAudio.h"
#include "quib/List.h"
#include "scene/Effect.h"

// The production as the frame loop sees it: owns the music player and the
// scene effects, builds everything before the music starts, and renders one
// frame per tick until the demo time reaches 64 seconds.
class Demo {
public:
    static constexpr double rowRate = 14.666666666666666;  // 44/3 rows per second
    static constexpr double endTime = 64.0;
    static constexpr const char* musicFile = "Data/zandol_and_Pemrix-Vorth_Speaks.mp3";

    enum class Music { On, Off };
    // Editing: the clock pauses and seeks, and the production holds at its
    // end instead of ending.
    enum class Mode { Play, Edit };

    // With Music::Off the music plays on no sound output: its channel runs
    // on the wall clock, and the tracks follow it.
    // audioOffset: milliseconds the sound reaches the listener later than
    // the sound system reports.
    explicit Demo(Music music = Music::On, Mode mode = Mode::Play, int audioOffset = 0);
    // The same production with another player as its clock, and no music:
    // for rendering frames at chosen demo times.
    explicit Demo(Audio* clock);
    ~Demo();

    virtual bool tick();

    // Renders from the next tick on at width x height (16:9): the
    // full-size targets are made again at that size.
    void resize(int width, int height);

#ifdef __EMSCRIPTEN__
    // A browser answers glGetError only once the GPU has finished all that
    // came before: there the error state is read after the first frames
    // and then every errorCheckMilliseconds (GL keeps the first error until
    // it is read), or after every frame when this is set.
    static bool checkErrorsEveryFrame;
    static constexpr unsigned errorCheckMilliseconds = 2000;
#endif

    // Hands a listener to the effects, which mark where each pass starts.
    void setPassHook(PassHook hook);

    // The clock the editing mode moves; null when playing.
    EditClock* editClock() { return editing.get(); }

private:
    Demo(const Demo&) = delete;
    Demo& operator=(const Demo&) = delete;
    void build(Audio* clock);
    void buildScene();
    bool errorCheckDue();

    FmodAudio audio;
    std::unique_ptr<EditClock> editing;
    Quib::List<Effect*> effects;
#ifdef __EMSCRIPTEN__
    unsigned ticks = 0;
    uint32_t lastErrorCheck = 0;
#endif
};

// The program: the window, the production and the frame loop, as the
// options ask. 0 after the end or Escape, 1 after a fatal error, 2 for a bad
// option value.
int appMain(const Quib::List<Quib::String>& arguments);
