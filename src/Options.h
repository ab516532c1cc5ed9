#pragma once

#include <string>

#include "quib/List.h"
#include "quib/String.h"

// What the command line asks of the program. With no option it plays as it
// always has: fullscreen at 1280 x 720 and 32 bits per pixel, with its music.
// Arguments that are not options are ignored.
struct Options {
    enum class Mode { Fullscreen, Windowed, Desktop };

    Mode mode = Mode::Fullscreen;
    int display = 0;     // the monitor for the fullscreen modes
    bool vsync = true;
    bool mute = false;   // no sound: the music plays silently on the wall clock
    bool native = false; // render at the window's size, not at 1280 x 720 scaled
    int audioOffset = 0; // milliseconds the sound reaches the listener later than reported
    bool help = false;
    bool version = false;  // --version: say the version, then exit
    // The editing mode: a window, the link to a Rocket editor at this host
    // and port, transport keys, shaders and tracks reloaded as they change.
    bool edit = false;
    std::string editorHost = "localhost";
    int editorPort = 1338;
    std::string error;   // a bad option value: one line that names the option
};

Options parseOptions(const Quib::List<Quib::String>& arguments);

// The usage text --help prints, every option on a line of its own.
extern const char* const usageText;
