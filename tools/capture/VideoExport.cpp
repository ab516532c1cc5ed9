#include "VideoExport.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "MasterSound.h"
#include "Subprocess.h"
#include "VideoEncoder.h"

namespace {

std::string ffmpeg;    // found before the working directory changed
VideoEncoder encoder;  // the one export of the run

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

// A master is not read at all unless it is a regular file: a FIFO or a
// device would hold the decoder for good. Null when it is one.
const char* notAFile(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return std::strerror(errno);
    if (S_ISDIR(info.st_mode))
        return std::strerror(EISDIR);
    return S_ISREG(info.st_mode) ? nullptr : "not a regular file";
}

// The sound comes from the MP3 unless a master stands in; the MP3 is
// decoded either way, to compare the master with.
int checkSound(const CaptureOptions& o) {
    std::vector<float> music;
    std::string wrong = regularFile(Demo::musicFile)
                            ? checkMusic(ffmpeg, Demo::musicFile, o.audio.empty() ? o.to : 0, music)
                            : "not a regular file";
    if (!wrong.empty()) {
        std::fprintf(stderr, "velvoria-capture: cannot use the music %s: %s\n", Demo::musicFile, wrong.c_str());
        return 1;
    }
    if (!o.audio.empty()) {
        wrong = checkMaster(ffmpeg, o.audio, music);
        if (!wrong.empty()) {
            std::fprintf(stderr, "velvoria-capture: --audio %s is not this production's music: %s\n",
                         o.audio.c_str(), wrong.c_str());
            return 2;
        }
    }
    return 0;
}

VideoEncoder::Settings settingsFor(const Renderer& r, const CaptureOptions& o) {
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
    return settings;
}

}  // namespace

int findEncoder() {
    ffmpeg = findProgram("ffmpeg");
    if (ffmpeg.empty()) {
        std::fprintf(stderr, "velvoria-capture: ffmpeg is not on the PATH; install it "
                             "(on Debian: sudo apt-get install ffmpeg)\n");
        return 1;
    }
    return 0;
}

int prepareVideo(const CaptureOptions& options) {
    signal(SIGPIPE, SIG_IGN);  // a gone encoder shows as a failed write
    std::vector<std::string> inputs = dataFiles();
    if (!options.audio.empty()) {
        if (const char* why = notAFile(options.audio)) {
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
    return checkSound(options);
}

int exportVideo(Renderer& r, const CaptureOptions& o) {
    if (!stopSignal && !encoder.start(ffmpeg, settingsFor(r, o))) {
        std::fprintf(stderr, "velvoria-capture: %s\n", encoder.error().c_str());
        return 1;
    }
    long count = frameCount(o);
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

void abandonVideo() { encoder.abandon(); }
