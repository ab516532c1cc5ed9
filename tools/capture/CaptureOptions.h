#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "Demo.h"
#include "Screen.h"

// What the capture tool is asked to do, as its command line says it.
struct CaptureOptions {
    enum class Mode { Frames, Bench, Video };

    Mode mode = Mode::Frames;
    std::vector<double> times;  // frames and bench
    std::string out;            // frames: the directory; video: the file
    double from = 0, to = Demo::endTime, fps = 60;  // video
    int width = frameWidth, height = frameHeight;    // of the frames written
    int supersample = 1;                              // rendered at this many times the size
    std::string audio;    // video: a lossless master of the music instead of the MP3
    bool master = false;  // video: near-lossless picture
};

// Reads the command line into options. False when it asks for nothing this
// tool does; error then says why in a line where the usage alone would not
// (empty otherwise).
bool parseCaptureOptions(int argc, char** argv, CaptureOptions& options, std::string& error);

// Prints the usage (on standard error unless told); the exit status that
// goes with a usage error.
int usage(FILE* out = stderr);

// The video's span is half-open: frames from, from + 1/fps, ... before to.
long frameCount(const CaptureOptions& options);
