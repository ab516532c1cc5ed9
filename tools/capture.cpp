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
// export is not there.

#include <signal.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <dirent.h>
#endif
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
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
#include "Screen.h"
#include "Version.h"
#include "FixedAudio.h"
#include "OutputFile.h"
#ifndef _WIN32
#include "VideoEncoder.h"
#endif
#include "Window.h"
#include "platform/Platform.h"
#include "scene/PassMark.h"

namespace {

enum class Mode { Frames, Bench, Video };

struct Options {
    Mode mode = Mode::Frames;
    std::vector<double> times;  // frames and bench
    std::string out;            // frames: the directory; video: the file
    double from = 0, to = Demo::endTime, fps = 60;  // video
    int width = frameWidth, height = frameHeight;    // of the frames written
    int supersample = 1;                              // rendered at this many times the size
    std::string audio;    // video: a lossless master of the music instead of the MP3
    bool master = false;  // video: near-lossless picture
};

int usage(FILE* out = stderr) {
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

bool number(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == 0 && std::isfinite(value) && value >= 0.0;
}

// Frames a second at most: with times within the production, this bounds
// the frames any one run renders.
const double maxFps = 1000;

// A time within the production.
bool moment(const char* text, double& value) { return number(text, value) && value <= Demo::endTime; }

bool dimensions(const char* text, int& w, int& h) {
    // Digits, "x", digits: nothing else.
    size_t split = std::strspn(text, "0123456789");
    if (split == 0 || text[split] != 'x' || std::strspn(text + split + 1, "0123456789") == 0)
        return false;
    char* end = nullptr;
    long x = std::strtol(text, &end, 10);
    if (end == text || *end != 'x')
        return false;
    const char* second = end + 1;
    long y = std::strtol(second, &end, 10);
    // 16:9 only, from 640x360 to 3840x2160, in whole chroma blocks (even).
    if (end == second || *end != 0 || x < 640 || x > 3840 || x * 9 != y * 16 || x % 2 || y % 2)
        return false;
    w = int(x);
    h = int(y);
    return true;
}

// The video's span is half-open: frames from, from + 1/fps, ... before to.
long frameCount(const Options& o) { return std::lround((o.to - o.from) * o.fps); }

bool parse(int argc, char** argv, Options& options) {
    double from = -1, to = -1, fps = 0;
    bool videoOnly = false;  // --audio, --quality
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--at") {
            double t;
            while (i + 1 < argc && number(argv[i + 1], t)) {
                if (t > Demo::endTime)
                    return false;
                options.times.push_back(t);
                ++i;
            }
        } else if (arg == "--out" && i + 1 < argc && options.mode != Mode::Video) {
            options.out = argv[++i];
        } else if (arg == "--video" && i + 1 < argc && options.mode == Mode::Frames && options.out.empty()) {
            options.mode = Mode::Video;
            options.out = argv[++i];
        } else if (arg == "--from" && i + 1 < argc) {
            if (!moment(argv[++i], from)) return false;
        } else if (arg == "--to" && i + 1 < argc) {
            if (!moment(argv[++i], to)) return false;
        } else if (arg == "--fps" && i + 1 < argc) {
            if (!number(argv[++i], fps) || fps <= 0 || fps > maxFps) return false;
        } else if (arg == "--size" && i + 1 < argc) {
            if (!dimensions(argv[++i], options.width, options.height)) return false;
        } else if (arg == "--supersample" && i + 1 < argc) {
            double n;
            if (!number(argv[++i], n) || n != std::floor(n) || n < 1 || n > 4) return false;
            options.supersample = int(n);
        } else if (arg == "--audio" && i + 1 < argc) {
            options.audio = argv[++i];
            if (options.audio.empty()) return false;
            videoOnly = true;
        } else if (arg == "--quality" && i + 1 < argc) {
            std::string quality = argv[++i];
            if (quality != "standard" && quality != "master") return false;
            options.master = quality == "master";
            videoOnly = true;
        } else if (arg == "--bench" && options.mode != Mode::Video) {
            options.mode = Mode::Bench;
        } else {
            return false;
        }
    }
    if (options.width * options.supersample > 7680)
        return false;
    if (options.mode == Mode::Video) {
        if (!options.times.empty() || options.out.empty())
            return false;
        options.from = from >= 0 ? from : 0.0;
        options.to = to >= 0 ? to : Demo::endTime;
        options.fps = fps > 0 ? fps : 60.0;
        return options.from < options.to && options.to <= Demo::endTime && frameCount(options) > 0;
    }
    if (videoOnly)
        return false;
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

#ifdef _WIN32
const char* const separators = "/\\";
bool isAbsolute(const std::string& path) {
    return (!path.empty() && std::strchr(separators, path[0])) || (path.size() > 1 && path[1] == ':');
}
int makeDirectory(const std::string& path) { return _mkdir(path.c_str()); }
#else
const char* const separators = "/";
bool isAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }
int makeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777); }
#endif

std::string absolute(const std::string& path) {
    if (isAbsolute(path))
        return path;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find_first_of(separators, 1); slash != std::string::npos;
         slash = path.find_first_of(separators, slash + 1)) {
        std::string part = path.substr(0, slash);
        if (!part.empty())
            makeDirectory(part);
    }
    makeDirectory(path);
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

#ifndef _WIN32
// A regular file, or a link to one.
bool regularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Every file in "Data/": all the export's inputs, none of them its output.
std::vector<std::string> dataFiles() {
    std::vector<std::string> files;
    if (DIR* dir = opendir("Data")) {
        while (dirent* entry = readdir(dir))
            files.push_back(std::string("Data/") + entry->d_name);
        closedir(dir);
    }
    return files;
}
#endif

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Set by SIGINT, SIGTERM or SIGHUP while a video is exported.
volatile sig_atomic_t stopSignal = 0;

#ifndef _WIN32
void stop(int signal) { stopSignal = signal; }
#endif

// What every mode renders with: the demo's own objects, clocked by a player
// that stands at each frame's time, and the size of the frames it hands on.
struct Renderer {
    Window& window;
    FixedAudio& player;
    Demo& demo;
    int width, height;  // of the frames read back
    int supersample;    // rendered this many times larger each way
    std::vector<unsigned char> rendered;  // a supersampled frame, whole
};

// The frame just drawn, bottom row first as GL gives it. A supersampled one
// is read whole and each N x N block averaged into one pixel: a box filter,
// which is exact for the whole-number ratios it is used at.
void readFrame(Renderer& r, GLenum format, int channels, std::vector<unsigned char>& pixels) {
    int n = r.supersample, w = r.width * n, h = r.height * n;
    std::vector<unsigned char>& whole = n == 1 ? pixels : r.rendered;
    whole.resize(size_t(w) * h * channels);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, format, GL_UNSIGNED_BYTE, whole.data());
    if (n == 1)
        return;
    pixels.resize(size_t(r.width) * r.height * channels);
    const unsigned area = unsigned(n * n);
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            for (int c = 0; c < channels; ++c) {
                unsigned sum = 0;
                for (int dy = 0; dy < n; ++dy) {
                    const unsigned char* row = &whole[(size_t(y * n + dy) * w + size_t(x) * n) * channels + c];
                    for (int dx = 0; dx < n; ++dx)
                        sum += row[dx * channels];
                }
                pixels[(size_t(y) * r.width + x) * channels + c] = static_cast<unsigned char>((sum + area / 2) / area);
            }
}

// The one rendering loop: frame k shows demo time timeOf(k) and is handed,
// drawn and finished, to use(k, milliseconds its tick took) before it is
// presented. Stops early when use() says so or a signal asks; true when
// every frame was used.
template <typename TimeOf, typename Use>
bool render(Renderer& r, long count, TimeOf timeOf, Use use) {
    for (long k = 0; k < count; ++k) {
        if (stopSignal)
            return false;
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
        readFrame(r, GL_RGBA, 4, pixels);
        for (size_t i = 3; i < pixels.size(); i += 4)
            pixels[i] = 255;  // the window has no alpha to speak of
        char name[64];
        std::snprintf(name, sizeof name, "/frame-%05u.png", r.player.ms);
        std::string path = dir + name;
        // PNG rows run top-down. Encoded whole in memory, then written
        // under a temporary name and renamed once every byte is down.
        const unsigned char* lastRow = pixels.data() + size_t(r.width) * 4 * (r.height - 1);
        int size = 0;
        unsigned char* png = stbi_write_png_to_mem(lastRow, -r.width * 4, r.width, r.height, 4, &size);
        std::string error = png ? "" : "cannot write " + path + ": out of memory";
        bool written = png && OutputFile::write(path, png, size_t(size), error);
        STBIW_FREE(png);
        if (!written) {
            std::fprintf(stderr, "velvoria-capture: %s\n", error.c_str());
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

#ifndef _WIN32
std::string clock(double seconds) {
    long s = std::lround(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

// Progress on standard error: a live bar on a terminal, otherwise a line
// every ten seconds.
class Progress {
public:
    explicit Progress(long total) : total(total), live(isatty(2)), start(nowMs()), shown(start) {}

    void update(long done) {
        double now = nowMs();
        if (!live && now - shown < 10000)
            return;
        shown = now;
        double rate = done / ((now - start) / 1000);
        std::string left = clock((total - done) / rate);
        if (live) {
            const int slots = 30;
            int filled = int(slots * done / total);
            std::fprintf(stderr, "\r[%s%s] %ld/%ld frames  %.1f fps  %s left\033[K",
                         std::string(filled, '#').c_str(), std::string(slots - filled, '-').c_str(), done, total,
                         rate, left.c_str());
        } else {
            std::fprintf(stderr, "velvoria-capture: %ld/%ld frames, %.1f fps, %s left\n", done, total, rate,
                         left.c_str());
        }
    }

    void clear() {
        if (live)
            std::fputs("\r\033[K", stderr);
    }

    double seconds() const { return (nowMs() - start) / 1000; }

private:
    long total;
    bool live;
    double start, shown;
};

// The music decoded as the checks compare it: mono at 4 kHz.
const int checkRate = 4000;

// The music the export takes its sound from must decode and last to the
// span's end. Empty when it does; otherwise why not.
std::string checkMusic(const std::string& ffmpeg, const std::string& music, double to, std::vector<float>& samples) {
    std::string error;
    if (!VideoEncoder::decodeMono(ffmpeg, music, checkRate, samples, error))
        return "cannot decode it: " + error;
    char text[160];
    if (double(samples.size()) / checkRate < to - 0.05) {
        std::snprintf(text, sizeof text, "it lasts %.2f s, the export runs to %.2f s", double(samples.size()) / checkRate,
                      to);
        return text;
    }
    return "";
}

// The normalised correlation of b against a over [from, to) of b, a read lag
// samples on; 0 where either is silent.
double correlation(const std::vector<float>& a, const std::vector<float>& b, long from, long to, long lag) {
    double ab = 0, aa = 0, bb = 0;
    for (long i = from; i < to; ++i) {
        double x = a[size_t(i + lag)], y = b[size_t(i)];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

// A lossless master stands in for the MP3 only if it is this music: a
// lossless format with at least the MP3's sample rate and channels, the same
// length within 0.1 s, and the same sound, in step (compared as ffmpeg
// decodes both, mono at 4 kHz: the best offset within 0.1 s must be within a
// sample, and every second that sounds in the music must sound alike in the
// master at that offset). Empty when it is; otherwise why not.
std::string checkMaster(const std::string& ffmpeg, const std::string& master, const std::vector<float>& music) {
    const int rate = checkRate, reach = rate / 10;
    std::string error;
    std::string ffprobe = VideoEncoder::locate("ffprobe");
    if (ffprobe.empty())
        return "ffprobe (installed with ffmpeg) is not on the PATH to read its format";
    VideoEncoder::SoundFormat mp3, format;
    if (!VideoEncoder::soundFormat(ffprobe, Demo::musicFile, mp3, error))
        return std::string("cannot read the music's format: ") + error;
    if (!VideoEncoder::soundFormat(ffprobe, master, format, error))
        return "cannot read its format: " + error;
    const char* const lossless[] = {"flac", "alac", "wavpack", "tta", "ape", "mlp", "truehd"};
    bool exact = format.codec.compare(0, 4, "pcm_") == 0;
    for (const char* codec : lossless)
        exact = exact || format.codec == codec;
    char text[200];
    if (!exact) {
        std::snprintf(text, sizeof text, "it is %s, not a lossless format (WAV or FLAC)", format.codec.c_str());
        return text;
    }
    if (format.rate < mp3.rate || format.channels < mp3.channels) {
        std::snprintf(text, sizeof text, "it is %d Hz with %d channel%s, less than the music's %d Hz with %d",
                      format.rate, format.channels, format.channels == 1 ? "" : "s", mp3.rate, mp3.channels);
        return text;
    }
    std::vector<float> sound;
    if (!VideoEncoder::decodeMono(ffmpeg, master, rate, sound, error))
        return "cannot decode it: " + error;
    if (std::fabs(double(sound.size()) - double(music.size())) > 0.1 * rate) {
        std::snprintf(text, sizeof text, "it lasts %.2f s, the music %.2f s", double(sound.size()) / rate,
                      double(music.size()) / rate);
        return text;
    }
    // The offset at which the master best matches the music, over the whole.
    long n = long(std::min(music.size(), sound.size())) - reach;
    double best = -2;
    long bestLag = 0;
    for (long lag = -reach; lag <= reach && n > reach; ++lag) {
        double r = correlation(music, sound, reach, n, lag);
        if (r > best) {
            best = r;
            bestLag = lag;
        }
    }
    if (best < 0.8) {
        std::snprintf(text, sizeof text, "it does not sound like the music (correlation %.2f)", std::max(best, -1.0));
        return text;
    }
    if (std::labs(bestLag) > 1) {
        std::snprintf(text, sizeof text, "it runs %.1f ms %s against the music", 1000.0 * std::labs(bestLag) / rate,
                      bestLag < 0 ? "late" : "early");
        return text;
    }
    // Second by second at that offset: a master silent or another sound
    // anywhere the music sounds is not this music, however alike the rest.
    const double audible = 0.005;  // RMS: the music's quietest sounding second is 0.012
    for (long start = std::max(0L, -bestLag); start + rate <= n + reach; start += rate) {
        long end = start + rate;
        double energy = 0;
        for (long i = start; i < end; ++i)
            energy += double(music[size_t(i + bestLag)]) * music[size_t(i + bestLag)];
        if (std::sqrt(energy / rate) < audible)
            continue;
        double r = correlation(music, sound, start, end, bestLag);
        if (r < 0.8) {
            std::snprintf(text, sizeof text, "from %.0f s to %.0f s it does not sound like the music (correlation %.2f)",
                          double(start) / rate, double(end) / rate, std::max(r, -1.0));
            return text;
        }
    }
    return "";
}

int exportVideo(Renderer& r, const Options& o, const std::string& ffmpeg, VideoEncoder& encoder) {
    long count = frameCount(o);
    VideoEncoder::Settings settings;
    settings.path = o.out;
    settings.width = r.width;
    settings.height = r.height;
    settings.fps = o.fps;
    settings.music = o.audio.empty() ? std::string(Demo::musicFile) : o.audio;
    settings.from = o.from;
    settings.to = o.to;
    settings.master = o.master;
    settings.title = "Velvoria";
    settings.artist = "Orvanth";
    settings.year = "2026";

    if (!encoder.start(ffmpeg, settings)) {
        std::fprintf(stderr, "velvoria-capture: %s\n", encoder.error().c_str());
        return 1;
    }
    std::vector<unsigned char> pixels;
    Progress progress(count);
    render(r, count, [&](long k) { return o.from + k / o.fps; }, [&](long k, double) {
        readFrame(r, GL_RGB, 3, pixels);
        if (!encoder.write(pixels.data(), pixels.size()))
            return false;
        progress.update(k + 1);
        return true;
    });
    progress.clear();
    if (stopSignal) {
        encoder.abandon();
        std::fprintf(stderr, "velvoria-capture: interrupted; %s not written\n", o.out.c_str());
        return 1;
    }
    if (!encoder.finish()) {
        std::fprintf(stderr, "velvoria-capture: %s\n", encoder.error().c_str());
        return 1;
    }
    std::fprintf(stderr, "velvoria-capture: wrote %s: %.3f s, %ld frames at %g fps, in %s\n", o.out.c_str(),
                 count / o.fps, count, o.fps, clock(progress.seconds()).c_str());
    return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
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
    Options options;
    if (!parse(argc, argv, options))
        return usage();
    std::string ffmpeg;
    if (options.mode == Mode::Video) {
#ifdef _WIN32
        std::fprintf(stderr, "velvoria-capture: --video is not available in the Windows build; "
                             "export the video with the Linux build\n");
        return 1;
#else
        ffmpeg = VideoEncoder::locate();
        if (ffmpeg.empty()) {
            std::fprintf(stderr, "velvoria-capture: ffmpeg is not on the PATH; install it "
                                 "(on Debian: sudo apt-get install ffmpeg)\n");
            return 1;
        }
#endif
    }
    if (!options.out.empty())
        options.out = absolute(options.out);
    if (!options.audio.empty())
        options.audio = absolute(options.audio);
    if (options.mode == Mode::Frames) {
        if (!makeDirectories(options.out)) {
            std::fprintf(stderr, "velvoria-capture: cannot make the directory %s\n", options.out.c_str());
            return 1;
        }
        for (const std::string& stale : OutputFile::removeStale(options.out))
            std::fprintf(stderr, "velvoria-capture: removed %s, left by a capture that was killed\n", stale.c_str());
    }
#ifndef _WIN32
    // Offscreen where the platform allows: no window needs to show. No
    // music plays: no sound system is started either.
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
#endif
    enterProgramDirectory();
#ifndef _WIN32
    // Everything about the export's files is checked before anything is
    // rendered; a signal from here on ends it with nothing left behind.
    VideoEncoder encoder;
    if (options.mode == Mode::Video) {
        struct sigaction action = {};
        action.sa_handler = stop;
        sigemptyset(&action.sa_mask);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaction(s, &action, nullptr);
        signal(SIGPIPE, SIG_IGN);  // a gone encoder shows as a failed write

        std::vector<std::string> inputs = dataFiles();
        if (!options.audio.empty()) {
            // Not read at all unless a regular file: a FIFO or a device
            // would hold the decoder for good.
            struct stat info;
            const char* why = nullptr;
            if (stat(options.audio.c_str(), &info) != 0)
                why = std::strerror(errno);
            else if (S_ISDIR(info.st_mode))
                why = std::strerror(EISDIR);
            else if (!S_ISREG(info.st_mode))
                why = "not a regular file";
            if (why) {
                std::fprintf(stderr, "velvoria-capture: --audio %s is not this production's music: cannot decode it: %s\n",
                             options.audio.c_str(), why);
                return 2;
            }
            inputs.push_back(options.audio);
        }
        if (!encoder.prepare(options.out, inputs)) {
            std::fprintf(stderr, "velvoria-capture: %s\n", encoder.error().c_str());
            return 1;
        }
        // The sound comes from the MP3 unless a master stands in; the MP3 is
        // decoded either way, to compare the master with.
        std::vector<float> music;
        std::string wrong = regularFile(Demo::musicFile) ? checkMusic(ffmpeg, Demo::musicFile,
                                                                      options.audio.empty() ? options.to : 0, music)
                                                         : "not a regular file";
        if (!wrong.empty()) {
            std::fprintf(stderr, "velvoria-capture: cannot use the music %s: %s\n", Demo::musicFile, wrong.c_str());
            return 1;
        }
        if (!options.audio.empty()) {
            wrong = checkMaster(ffmpeg, options.audio, music);
            if (!wrong.empty()) {
                std::fprintf(stderr, "velvoria-capture: --audio %s is not this production's music: %s\n",
                             options.audio.c_str(), wrong.c_str());
                return 2;
            }
        }
    }
#endif
    keepFreedMemory();
    int status = 0;
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
        switch (options.mode) {
        case Mode::Frames: status = writeFrames(renderer, options.times, options.out); break;
        case Mode::Bench: status = bench(renderer, options.times); break;
#ifndef _WIN32
        case Mode::Video:
            if (stopSignal) {
                std::fprintf(stderr, "velvoria-capture: interrupted; %s not written\n", options.out.c_str());
                status = 1;
            } else {
                status = exportVideo(renderer, options, ffmpeg, encoder);
            }
            break;
#else
        case Mode::Video: break;
#endif
        }
        window.close();
    } catch (const Quib::Exception& e) {
        const char* message = e.getMessage().cStr();
        std::fprintf(stderr, "%s\n", message ? message : "");
        status = 1;
    }
    if (stopSignal) {
#ifndef _WIN32
        encoder.abandon();
#endif
        // Ended by the signal, as the one who sent it expects.
        signal(stopSignal, SIG_DFL);
        raise(stopSignal);
    }
    return status;
}
