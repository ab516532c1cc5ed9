// velvoria-capture: renders the production's frames at exact demo times.
//
//   velvoria-capture --at SECONDS... --out DIR          one PNG per time (frame-<ms>.png)
//   velvoria-capture --from S --to S --fps N --out DIR  a sequence
//   velvoria-capture --bench --at SECONDS...            median frame and pass times
//
// It builds the same objects as the demo and drives the clock with a virtual
// player whose position is the frame's time, so each frame shows the track
// values of that time. No music plays. Like the demo it finds "Data/" beside
// itself; --out is taken relative to the directory it was started in.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "Demo.h"
#include "Extensions.h"
#include "FixedAudio.h"
#include "Window.h"
#include "platform/Platform.h"
#include "scene/PassMark.h"

namespace {

const int width = 1280, height = 720;

enum class Mode { Frames, Bench };

struct Options {
    Mode mode = Mode::Frames;
    std::vector<double> times;  // frames and bench
    std::string out;            // frames: the directory
};

int usage() {
    std::fprintf(stderr,
                 "usage: velvoria-capture --at SECONDS... --out DIR\n"
                 "       velvoria-capture --from S --to S --fps N --out DIR\n"
                 "       velvoria-capture --bench --at SECONDS...\n");
    return 2;
}

bool number(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == 0 && std::isfinite(value) && value >= 0.0;
}

bool parse(int argc, char** argv, Options& options) {
    double from = -1, to = -1, fps = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--at") {
            double t;
            while (i + 1 < argc && number(argv[i + 1], t)) {
                options.times.push_back(t);
                ++i;
            }
        } else if (arg == "--out" && i + 1 < argc) {
            options.out = argv[++i];
        } else if (arg == "--from" && i + 1 < argc) {
            if (!number(argv[++i], from)) return false;
        } else if (arg == "--to" && i + 1 < argc) {
            if (!number(argv[++i], to)) return false;
        } else if (arg == "--fps" && i + 1 < argc) {
            if (!number(argv[++i], fps) || fps <= 0) return false;
        } else if (arg == "--bench") {
            options.mode = Mode::Bench;
        } else {
            return false;
        }
    }
    if (from >= 0 || to >= 0 || fps > 0) {
        if (from < 0 || to < from || fps <= 0)
            return false;
        long frames = long(std::floor((to - from) * fps + 1e-9)) + 1;
        for (long k = 0; k < frames; ++k)
            options.times.push_back(from + k / fps);
    }
    if (options.times.empty())
        return false;
    return options.mode == Mode::Bench || !options.out.empty();
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = 1; slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (!part.empty())
            mkdir(part.c_str(), 0777);
    }
    mkdir(path.c_str(), 0777);
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The frame just drawn, bottom row first as GL gives it.
void readFrame(GLenum format, int channels, std::vector<unsigned char>& pixels) {
    pixels.resize(size_t(width) * height * channels);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, format, GL_UNSIGNED_BYTE, pixels.data());
}

// What every mode renders with: the demo's own objects, clocked by a player
// that stands at each frame's time.
struct Renderer {
    Window& window;
    FixedAudio& player;
    Demo& demo;
};

// The one rendering loop: frame k shows demo time timeOf(k) and is handed,
// drawn and finished, to use(k, milliseconds its tick took) before it is
// presented. Stops early when use() says so; true when every frame was
// used.
template <typename TimeOf, typename Use>
bool render(Renderer& r, long count, TimeOf timeOf, Use use) {
    for (long k = 0; k < count; ++k) {
        r.player.setPosition(timeOf(k));
        glFinish();
        double start = nowMs();
        r.demo.tick();
        glFinish();
        if (!use(k, nowMs() - start))
            return false;
        r.window.update();
    }
    return true;
}

int writeFrames(Renderer& r, const std::vector<double>& times, const std::string& dir) {
    std::vector<unsigned char> pixels;
    bool written = render(r, long(times.size()), [&](long k) { return times[size_t(k)]; }, [&](long, double) {
        readFrame(GL_RGBA, 4, pixels);
        for (size_t i = 3; i < pixels.size(); i += 4)
            pixels[i] = 255;  // the window has no alpha to speak of
        char name[64];
        std::snprintf(name, sizeof name, "/frame-%05u.png", r.player.ms);
        std::string path = dir + name;
        // PNG rows run top-down.
        const unsigned char* lastRow = pixels.data() + size_t(width) * 4 * (height - 1);
        if (!stbi_write_png(path.c_str(), width, height, 4, lastRow, -width * 4)) {
            std::fprintf(stderr, "velvoria-capture: cannot write %s\n", path.c_str());
            return false;
        }
        std::printf("%s\n", path.c_str());
        return true;
    });
    return written ? 0 : 1;
}

// Timer queries at each pass mark; fetched here, the demo itself needs none.
const int markCount = int(Pass::End) + 1;
struct PassTimer {
    PFNGLQUERYCOUNTERPROC queryCounter;
    PFNGLGETQUERYOBJECTUI64VPROC getQueryObjectui64v;
    GLuint queries[markCount];
};

// A software renderer runs a pass when it is flushed, not when it is drawn:
// finishing at each mark charges every pass its own work.
void timePass(void* context, Pass pass) {
    PassTimer& timer = *static_cast<PassTimer*>(context);
    glFinish();
    timer.queryCounter(timer.queries[int(pass)], GL_TIMESTAMP);
}

int bench(Renderer& r, const std::vector<double>& times) {
    PassTimer timer;
    auto genQueries = (PFNGLGENQUERIESPROC)lookUpGLProcedure("glGenQueries");
    timer.queryCounter = (PFNGLQUERYCOUNTERPROC)lookUpGLProcedure("glQueryCounter");
    timer.getQueryObjectui64v = (PFNGLGETQUERYOBJECTUI64VPROC)lookUpGLProcedure("glGetQueryObjectui64v");
    bool timed = genQueries && timer.queryCounter && timer.getQueryObjectui64v;
    if (timed) {
        genQueries(markCount, timer.queries);
        r.demo.setPassHook(PassHook{timePass, &timer});
    }
    const char* names[] = {"gbuffer", "occlusion", "sky_composite", "final_pass", "bloom", "credits"};
    // Each time once to warm up (first-use costs stay out of the numbers),
    // then measured.
    const long runs = 5, perTime = runs + 1;
    std::vector<double> frame;
    std::vector<std::vector<double>> passes(markCount - 1);
    render(r, long(times.size()) * perTime, [&](long k) { return times[size_t(k / perTime)]; },
           [&](long k, double ms) {
               long run = k % perTime;
               if (run == 0)
                   return true;
               frame.push_back(ms);
               if (timed) {
                   GLuint64 stamps[markCount];
                   for (int m = 0; m < markCount; ++m)
                       timer.getQueryObjectui64v(timer.queries[m], GL_QUERY_RESULT, &stamps[m]);
                   for (int m = 0; m + 1 < markCount; ++m)
                       passes[m].push_back((stamps[m + 1] - stamps[m]) / 1e6);
               }
               if (run == runs) {
                   std::printf("t=%g frame_ms=%.1f\n", times[size_t(k / perTime)], median(frame));
                   for (int m = 0; timed && m + 1 < markCount; ++m)
                       std::printf("  pass=%s ms=%.1f\n", names[m], median(passes[m]));
                   std::fflush(stdout);
                   frame.clear();
                   for (std::vector<double>& pass : passes)
                       pass.clear();
               }
               return true;
           });
    r.demo.setPassHook(PassHook());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options))
        return usage();
    if (!options.out.empty())
        options.out = absolute(options.out);
    if (options.mode == Mode::Frames && !makeDirectories(options.out)) {
        std::fprintf(stderr, "velvoria-capture: cannot make the directory %s\n", options.out.c_str());
        return 1;
    }
    // Offscreen where the platform allows: no window needs to show.
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    enterProgramDirectory();
    int status = 0;
    try {
        GLWindow window;
        window.create("Orvanth - Velvoria (capture)", false, width, height, 0x00CA0000);
        loadExtensions(lookUpGLProcedure);
        FixedAudio player;
        Demo demo(&player);
        Renderer renderer{window, player, demo};
        switch (options.mode) {
        case Mode::Frames: status = writeFrames(renderer, options.times, options.out); break;
        case Mode::Bench: status = bench(renderer, options.times); break;
        }
        window.close();
    } catch (const Quib::Exception& e) {
        const char* message = e.getMessage().cStr();
        std::fprintf(stderr, "%s\n", message ? message : "");
        status = 1;
    }
    return status;
}
