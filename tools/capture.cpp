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

struct Options {
    std::vector<double> times;
    std::string out;
    bool bench = false;
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
            options.bench = true;
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
    return options.bench || !options.out.empty();
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

bool writeFrame(const std::string& path) {
    std::vector<unsigned char> pixels(size_t(width) * height * 4);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    for (size_t i = 3; i < pixels.size(); i += 4)
        pixels[i] = 255;  // the window has no alpha to speak of
    // GL's rows run bottom-up; PNG rows top-down.
    const unsigned char* lastRow = pixels.data() + size_t(width) * 4 * (height - 1);
    return stbi_write_png(path.c_str(), width, height, 4, lastRow, -width * 4) != 0;
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

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void bench(Demo& demo, FixedAudio& player, Window& window, const std::vector<double>& times) {
    PassTimer timer;
    auto genQueries = (PFNGLGENQUERIESPROC)lookUpGLProcedure("glGenQueries");
    timer.queryCounter = (PFNGLQUERYCOUNTERPROC)lookUpGLProcedure("glQueryCounter");
    timer.getQueryObjectui64v = (PFNGLGETQUERYOBJECTUI64VPROC)lookUpGLProcedure("glGetQueryObjectui64v");
    bool timed = genQueries && timer.queryCounter && timer.getQueryObjectui64v;
    if (timed) {
        genQueries(markCount, timer.queries);
        demo.setPassHook(PassHook{timePass, &timer});
    }
    const char* names[] = {"gbuffer", "occlusion", "sky_composite", "final_pass", "bloom", "credits"};
    const int runs = 5;
    for (double t : times) {
        player.setPosition(t);
        demo.tick();  // warm-up: first-use costs stay out of the numbers
        window.update();
        std::vector<double> frame;
        std::vector<std::vector<double>> passes(markCount - 1);
        for (int r = 0; r < runs; ++r) {
            glFinish();
            double start = nowMs();
            demo.tick();
            glFinish();
            frame.push_back(nowMs() - start);
            if (timed) {
                GLuint64 stamps[markCount];
                for (int m = 0; m < markCount; ++m)
                    timer.getQueryObjectui64v(timer.queries[m], GL_QUERY_RESULT, &stamps[m]);
                for (int m = 0; m + 1 < markCount; ++m)
                    passes[m].push_back((stamps[m + 1] - stamps[m]) / 1e6);
            }
            window.update();
        }
        std::printf("t=%g frame_ms=%.1f\n", t, median(frame));
        if (timed)
            for (int m = 0; m + 1 < markCount; ++m)
                std::printf("  pass=%s ms=%.1f\n", names[m], median(passes[m]));
        std::fflush(stdout);
    }
    demo.setPassHook(PassHook());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options))
        return usage();
    std::string out = options.out.empty() ? "" : absolute(options.out);
    if (!out.empty() && !makeDirectories(out)) {
        std::fprintf(stderr, "velvoria-capture: cannot make the directory %s\n", out.c_str());
        return 1;
    }
    // Offscreen where the platform allows: no window needs to show.
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    enterProgramDirectory();
    try {
        GLWindow window;
        window.create("Orvanth - Velvoria (capture)", false, width, height, 0x00CA0000);
        loadExtensions(lookUpGLProcedure);
        FixedAudio player;
        Demo demo(&player);
        if (options.bench) {
            bench(demo, player, window, options.times);
        } else {
            for (double t : options.times) {
                player.setPosition(t);
                demo.tick();
                char name[64];
                std::snprintf(name, sizeof name, "/frame-%05u.png", player.ms);
                std::string path = out + name;
                if (!writeFrame(path)) {
                    std::fprintf(stderr, "velvoria-capture: cannot write %s\n", path.c_str());
                    return 1;
                }
                std::printf("%s\n", path.c_str());
                window.update();
            }
        }
        window.close();
    } catch (const Quib::Exception& e) {
        const char* message = e.getMessage().cStr();
        std::fprintf(stderr, "%s\n", message ? message : "");
        return 1;
    }
    return 0;
}
