#include "CaptureOptions.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "FrameSize.h"

namespace {

// Frames a second at most: with times within the production, this bounds
// the frames any one run renders.
const double maxFps = 1000;

// How far the video's frames may end from the span's end: the sound's own
// tolerance (a rate of 10 frames a second or more always fits).
const double spanTolerance = 0.05;

bool number(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == 0 && std::isfinite(value) && value >= 0.0;
}

// A time within the production.
bool moment(const char* text, double& value) { return number(text, value) && value <= Demo::endTime; }

// The span and rate as given (-1 or 0 where not given), until they are
// known to be for a video or for frames.
struct Span {
    double from = -1, to = -1, fps = 0;
    bool videoOnly = false;  // --audio or --quality given
};

// One option at argv[i] (its value taken too); false for what is not one.
bool option(int argc, char** argv, int& i, CaptureOptions& o, Span& span) {
    std::string arg = argv[i];
    bool value = i + 1 < argc;
    if (arg == "--at") {
        double t;
        while (i + 1 < argc && number(argv[i + 1], t)) {
            if (t > Demo::endTime)
                return false;
            o.times.push_back(t);
            ++i;
        }
        return true;
    }
    if (arg == "--bench" && o.mode != CaptureOptions::Mode::Video) {
        o.mode = CaptureOptions::Mode::Bench;
        return true;
    }
    if (!value)
        return false;
    const char* next = argv[++i];
    if (arg == "--out" && o.mode != CaptureOptions::Mode::Video) {
        o.out = next;
    } else if (arg == "--video" && o.mode == CaptureOptions::Mode::Frames && o.out.empty()) {
        o.mode = CaptureOptions::Mode::Video;
        o.out = next;
    } else if (arg == "--from" || arg == "--to") {
        return moment(next, arg == "--from" ? span.from : span.to);
    } else if (arg == "--fps") {
        return number(next, span.fps) && span.fps > 0 && span.fps <= maxFps;
    } else if (arg == "--size") {
        return parseFrameSize(next, o.width, o.height);
    } else if (arg == "--supersample") {
        double n;
        if (!number(next, n) || n != std::floor(n) || n < 1 || n > 4)
            return false;
        o.supersample = int(n);
    } else if (arg == "--audio") {
        o.audio = next;
        span.videoOnly = true;
        return !o.audio.empty();
    } else if (arg == "--quality") {
        std::string quality = next;
        o.master = quality == "master";
        span.videoOnly = true;
        return quality == "standard" || quality == "master";
    } else {
        return false;
    }
    return true;
}

// A video: the span and rate (defaults where not given), whose whole frames
// must last the span.
bool videoSpan(CaptureOptions& o, const Span& span, std::string& error) {
    if (!o.times.empty() || o.out.empty())
        return false;
    o.from = span.from >= 0 ? span.from : 0.0;
    o.to = span.to >= 0 ? span.to : Demo::endTime;
    o.fps = span.fps > 0 ? span.fps : 60.0;
    if (!(o.from < o.to && o.to <= Demo::endTime && frameCount(o) > 0))
        return false;
    double length = frameCount(o) / o.fps;
    if (std::fabs(length - (o.to - o.from)) > spanTolerance) {
        char text[240];
        std::snprintf(text, sizeof text,
                      "--fps %g: %ld frames last %.2f s, not the %g s from %g to %g; give a rate at which whole "
                      "frames fill the span",
                      o.fps, frameCount(o), length, o.to - o.from, o.from, o.to);
        error = text;
        return false;
    }
    return true;
}

// Frames or a bench: --from, --to and --fps together give the times from
// one to the other, both included.
bool frameTimes(CaptureOptions& o, const Span& span) {
    if (span.videoOnly)
        return false;
    if (span.from >= 0 || span.to >= 0 || span.fps > 0) {
        if (span.from < 0 || span.to < span.from || span.fps <= 0)
            return false;
        long frames = long(std::floor((span.to - span.from) * span.fps + 1e-9)) + 1;
        for (long k = 0; k < frames; ++k)
            o.times.push_back(span.from + k / span.fps);
    }
    return !o.times.empty() && (o.mode == CaptureOptions::Mode::Bench || !o.out.empty());
}

}  // namespace

int usage(FILE* out) {
    std::fprintf(out,
                 "usage: velvoria-capture --at SECONDS... --out DIR\n"
                 "       velvoria-capture --from S --to S --fps N --out DIR\n"
                 "       velvoria-capture --bench --at SECONDS...\n"
                 "       velvoria-capture --video FILE.mp4 [--fps N] [--from S] [--to S]\n"
                 "                        [--audio MASTER.wav|.flac] [--quality standard|master]\n"
                 "       velvoria-capture --help | --version\n"
                 "  every mode: [--size WxH] 16:9 and even, 640x360 to 3840x2160 (1280x720; others are refused)\n"
                 "              [--supersample N] 1 to 4: rendered N times larger, averaged down\n"
                 "              (at most 7680 pixels wide rendered)\n"
                 "  times are seconds from 0 to 64 (the production's end); --fps at most 1000\n");
    return 2;
}

long frameCount(const CaptureOptions& o) { return std::lround((o.to - o.from) * o.fps); }

bool parseCaptureOptions(int argc, char** argv, CaptureOptions& options, std::string& error) {
    Span span;
    error.clear();
    for (int i = 1; i < argc; ++i)
        if (!option(argc, argv, i, options, span))
            return false;
    if (options.width * options.supersample > 7680)
        return false;
    if (options.mode == CaptureOptions::Mode::Video)
        return videoSpan(options, span, error);
    return frameTimes(options, span);
}
