#include "MasterSound.h"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Demo.h"
#include "Subprocess.h"

namespace {

// The sound of a file as ffmpeg decodes it: mono float samples at this
// rate. False with ffmpeg's last error line in `error`, also where it
// complained on the way (a damaged frame).
bool decodeMono(const std::string& ffmpeg, const std::string& file, int rate, std::vector<float>& samples,
                std::string& error) {
    std::vector<std::string> args = {ffmpeg, "-hide_banner", "-loglevel", "error", "-nostdin", "-i", file,
                                     "-vn", "-ac", "1", "-ar", std::to_string(rate), "-f", "f32le", "pipe:1"};
    std::string bytes, complaints;
    int status = 0;
    if (!runCollecting(args, bytes, complaints, status, error))
        return false;
    // A complaint on the way (a damaged frame) is a failure too: the sound
    // would not be the whole music.
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !lastLine(complaints).empty()) {
        error = lastLine(complaints);
        if (error.empty())
            error = "ffmpeg cannot decode it";
        return false;
    }
    samples.resize(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return true;
}

// The first sound stream of a file as ffprobe reads its header. False with
// the reason in `error`.
struct SoundFormat {
    std::string codec;
    int rate = 0, channels = 0;
};
bool soundFormat(const std::string& ffprobe, const std::string& file, SoundFormat& format, std::string& error) {
    std::vector<std::string> args = {ffprobe, "-v", "error", "-select_streams", "a:0", "-show_entries",
                                     "stream=codec_name,sample_rate,channels", "-of", "default=noprint_wrappers=1",
                                     file};
    std::string text, complaints;
    int status = 0;
    if (!runCollecting(args, text, complaints, status, error))
        return false;
    format = SoundFormat();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "codec_name")
            format.codec = value;
        else if (key == "sample_rate")
            format.rate = std::atoi(value.c_str());
        else if (key == "channels")
            format.channels = std::atoi(value.c_str());
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || format.codec.empty() || format.rate <= 0 ||
        format.channels <= 0) {
        error = lastLine(complaints);
        if (error.empty())
            error = "no sound in it";
        return false;
    }
    return true;
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

// A lossless format with at least the MP3's sample rate and channels:
// empty when the master is one; otherwise why not.
std::string checkFormat(const std::string& master) {
    std::string error;
    std::string ffprobe = findProgram("ffprobe");
    if (ffprobe.empty())
        return "ffprobe (installed with ffmpeg) is not on the PATH to read its format";
    SoundFormat mp3, format;
    if (!soundFormat(ffprobe, Demo::musicFile, mp3, error))
        return std::string("cannot read the music's format: ") + error;
    if (!soundFormat(ffprobe, master, format, error))
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
    return "";
}

// The offset (lag) at which the master best matches the music, over the
// whole, within a tenth of a second; its correlation.
double bestOffset(const std::vector<float>& music, const std::vector<float>& sound, long& bestLag) {
    const long reach = checkRate / 10;
    long n = long(std::min(music.size(), sound.size())) - reach;
    double best = -2;
    bestLag = 0;
    for (long lag = -reach; lag <= reach && n > reach; ++lag) {
        double r = correlation(music, sound, reach, n, lag);
        if (r > best) {
            best = r;
            bestLag = lag;
        }
    }
    return best;
}

// Second by second at that offset: a master silent or another sound
// anywhere the music sounds is not this music, however alike the rest.
std::string everySecondAlike(const std::vector<float>& music, const std::vector<float>& sound, long lag) {
    const long rate = checkRate, reach = rate / 10;
    long n = long(std::min(music.size(), sound.size())) - reach;
    const double audible = 0.005;  // RMS: the music's quietest sounding second is 0.012
    for (long start = std::max(0L, -lag); start + rate <= n + reach; start += rate) {
        long end = start + rate;
        double energy = 0;
        for (long i = start; i < end; ++i)
            energy += double(music[size_t(i + lag)]) * music[size_t(i + lag)];
        if (std::sqrt(energy / rate) < audible)
            continue;
        double r = correlation(music, sound, start, end, lag);
        if (r < 0.8) {
            char text[160];
            std::snprintf(text, sizeof text, "from %.0f s to %.0f s it does not sound like the music (correlation %.2f)",
                          double(start) / rate, double(end) / rate, std::max(r, -1.0));
            return text;
        }
    }
    return "";
}

}  // namespace

std::string checkMusic(const std::string& ffmpeg, const std::string& music, double to, std::vector<float>& samples) {
    std::string error;
    if (!decodeMono(ffmpeg, music, checkRate, samples, error))
        return "cannot decode it: " + error;
    char text[160];
    if (double(samples.size()) / checkRate < to - 0.05) {
        std::snprintf(text, sizeof text, "it lasts %.2f s, the export runs to %.2f s", double(samples.size()) / checkRate,
                      to);
        return text;
    }
    return "";
}

// A lossless master stands in for the MP3 only if it is this music: a
// lossless format with at least the MP3's sample rate and channels, the same
// length within 0.1 s, and the same sound, in step (compared as ffmpeg
// decodes both, mono at 4 kHz: the best offset within 0.1 s must be within a
// sample, and every second that sounds in the music must sound alike in the
// master at that offset).
std::string checkMaster(const std::string& ffmpeg, const std::string& master, const std::vector<float>& music) {
    std::string wrong = checkFormat(master);
    if (!wrong.empty())
        return wrong;
    const int rate = checkRate;
    std::vector<float> sound;
    std::string error;
    if (!decodeMono(ffmpeg, master, rate, sound, error))
        return "cannot decode it: " + error;
    char text[200];
    if (std::fabs(double(sound.size()) - double(music.size())) > 0.1 * rate) {
        std::snprintf(text, sizeof text, "it lasts %.2f s, the music %.2f s", double(sound.size()) / rate,
                      double(music.size()) / rate);
        return text;
    }
    long lag = 0;
    double best = bestOffset(music, sound, lag);
    if (best < 0.8) {
        std::snprintf(text, sizeof text, "it does not sound like the music (correlation %.2f)", std::max(best, -1.0));
        return text;
    }
    if (std::labs(lag) > 1) {
        std::snprintf(text, sizeof text, "it runs %.1f ms %s against the music", 1000.0 * std::labs(lag) / rate,
                      lag < 0 ? "late" : "early");
        return text;
    }
    return everySecondAlike(music, sound, lag);
}
