// velvoria-capture: renders the production's frames at exact demo times.
//
//   velvoria-capture --at SECONDS... --out DIR          one PNG per time (frame-<ms>.png)
//   velvoria-capture --from S --to S --fps N --out DIR  a sequence
//   velvoria-capture --bench --at SECONDS...            median frame and pass times
//   velvoria-capture --video FILE.mp4 [--fps N] [--from S] [--to S]
//                    [--audio MASTER.wav|.flac] [--quality standard|master]
//                                                       one MP4 with the music (ffmpeg)
// and in every mode
//   --size WxH          render at this 16:9 size (even), 640x360 to 3840x2160 (1280x720)
//   --supersample N     render at N times the size, 1 to 4, and average each N x N
//                       block down (at most 7680 pixels wide rendered)
//
// It builds the same objects as the demo and drives the clock with a virtual
// player whose position is the frame's time, so each frame shows the track
// values of that time. No music plays. Like the demo it finds "Data/" beside
// itself; --out and --video are taken relative to the directory it was
// started in. On Windows it renders in a window of its own, and the video
// export is not there. SIGINT, SIGTERM and SIGHUP end any mode after the
// frame in hand, with nothing half-written left, by that signal.
//
// The rooms: CaptureOptions (the command line), Renderer (the loop and the
// signals), FrameWriter (PNG files), Bench, VideoExport (with VideoEncoder,
// MasterSound, Mp4Check and Subprocess), OutputFile (where files go).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Bench.h"
#include "CaptureOptions.h"
#include "FrameWriter.h"
#include "OutputFile.h"
#include "Renderer.h"
#include "Version.h"
#include "VideoExport.h"
#include "platform/Files.h"
#include "platform/Platform.h"

namespace {

std::vector<std::string> madeDirectories;  // by this run, removed again if it fails

// A relative path means the directory the tool was started in, before it
// enters its own: made absolute, or refused where that directory has no
// name to give (it was removed, or its path is too long).
bool resolve(const char* option, std::string& path) {
    if (path.empty())
        return true;
    std::string absolute;
    if (int reason = absolutePath(path, absolute)) {
        std::fprintf(stderr,
                     "velvoria-capture: %s %s: the working directory it is relative to cannot be named (%s); "
                     "give an absolute path\n",
                     option, path.c_str(), std::strerror(reason));
        return false;
    }
    path = absolute;
    return true;
}

// Everything about the run's files, before anything is rendered.
int prepare(CaptureOptions& options) {
    const bool video = options.mode == CaptureOptions::Mode::Video;
    if (video)
        if (int status = findEncoder())
            return status;
    if (!resolve(video ? "--video" : "--out", options.out) || !resolve("--audio", options.audio))
        return 1;
    if (options.mode == CaptureOptions::Mode::Frames)
        if (int status = prepareFrames(options, madeDirectories))
            return status;
#ifndef _WIN32
    // Offscreen where the platform allows: no window needs to show. No
    // music plays: no sound system is started either.
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
#endif
    enterProgramDirectory();
    return video ? prepareVideo(options) : 0;
}

// The demo's own objects at the asked size, and the mode run with them.
int renderAll(const CaptureOptions& options) {
    keepFreedMemory();
    try {
        GLWindow window;
        window.vsync = false;  // frames are read back, never shown
        int n = options.supersample;
        setRenderSize(options.width * n, options.height * n);
        window.create("Orvanth - Velvoria (capture)", false, options.width * n, options.height * n,
                      Window::productionStyle);
        loadExtensions(lookUpGLProcedure);
        FixedAudio player;
        Demo demo(&player);
        Renderer renderer{window, player, demo, options.width, options.height, n, {}};
        int status = 0;
        switch (options.mode) {
        case CaptureOptions::Mode::Frames: status = writeFrames(renderer, options); break;
        case CaptureOptions::Mode::Bench: status = bench(renderer, options.times); break;
        case CaptureOptions::Mode::Video: status = exportVideo(renderer, options); break;
        }
        window.close();
        return status;
    } catch (const Quib::Exception& e) {
        const char* message = e.getMessage().cStr();
        std::fprintf(stderr, "%s\n", message ? message : "");
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    keepStandardStreamsOpen();
    // --help and --version answer on standard output, wherever they stand.
    for (int i = 1; i < argc; ++i) {
        bool help = std::strcmp(argv[i], "--help") == 0;
        if (help || std::strcmp(argv[i], "--version") == 0) {
            if (help) {
                usage(stdout);
                std::putchar('\n');
            }
            std::printf("velvoria-capture %s\n", velvoriaVersion);
            return 0;
        }
    }
    CaptureOptions options;
    std::string error;
    if (!parseCaptureOptions(argc, argv, options, error)) {
        if (error.empty())
            return usage();
        std::fprintf(stderr, "velvoria-capture: %s\n", error.c_str());
        return 2;
    }
    catchStopSignals();
    int status = prepare(options);
    if (status == 0)
        status = renderAll(options);
    if (status != 0 || stopSignal) {
        abandonVideo();
        OutputFile::removeEmptyDirectories(madeDirectories);
    }
    return endByStopSignal(status);
}
