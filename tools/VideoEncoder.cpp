#include "VideoEncoder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "OutputFile.h"
#include "platform/Files.h"

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string size(int width, int height, char separator) {
    return std::to_string(width) + separator + std::to_string(height);
}

// The last line of what ffmpeg said; empty when it said nothing.
std::string lastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string::npos)
        return "";
    size_t start = text.find_last_of("\r\n", end);
    start = start == std::string::npos ? 0 : start + 1;
    return text.substr(start, end + 1 - start);
}

// The argument vector execv takes, pointing into args.
std::vector<char*> argumentVector(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return argv;
}

// Two pipes, closed on exec; none left open when the second fails.
bool makePipes(int first[2], int second[2], std::string& error) {
    if (pipe2(first, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(second, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        close(first[0]);
        close(first[1]);
        return false;
    }
    return true;
}

// Starts a program with these as its standard input, output and error (-1:
// /dev/null), the signals we catch or ignore at their defaults, and, on
// Linux, killed when we die: a killed capture leaves no ffmpeg finishing or
// waiting on its own. ownGroup: in a process group of its own, so that a
// Ctrl-C is ours to handle. The child's id, or -1 with the reason in error.
pid_t spawn(std::vector<std::string>& args, const int streams[3], bool ownGroup, std::string& error) {
    std::vector<char*> argv = argumentVector(args);
    int report[2];  // the exec's failure, if any, from the child
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return -1;
    }
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        // Only calls that are safe between fork and exec.
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
#endif
        if (ownGroup)
            setpgid(0, 0);
        struct sigaction defaults = {};
        defaults.sa_handler = SIG_DFL;
        for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP})
            sigaction(s, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int fd = 0; fd < 3; ++fd) {
            int from = streams[fd] >= 0 ? streams[fd] : open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
            if (from < 0 || dup2(from, fd) < 0)
                _exit(127);
        }
        execv(argv[0], argv.data());
        int failure = errno;
        ssize_t ignored = ::write(report[1], &failure, sizeof failure);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    if (child < 0) {
        close(report[0]);
        error = std::string("cannot start ") + args[0] + ": " + std::strerror(errno);
        return -1;
    }
    int failure = 0;
    ssize_t n;
    while ((n = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (n == sizeof failure) {
        int status;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        error = std::string("cannot start ") + args[0] + ": " + std::strerror(failure);
        return -1;
    }
    return child;
}

uint32_t big32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
           uint32_t(uint8_t(b[at + 3]));
}

uint64_t big64(const std::string& b, size_t at) { return uint64_t(big32(b, at)) << 32 | big32(b, at + 4); }

// The boxes of an MP4 from `begin` to `end`: (type, payload start, payload
// end) each; false when one runs past the end.
struct Box {
    std::string type;
    size_t begin, end;
};
bool boxes(const std::string& b, size_t begin, size_t end, std::vector<Box>& found) {
    size_t at = begin;
    while (at < end) {
        if (end - at < 8)
            return false;
        uint64_t size = big32(b, at);
        size_t header = 8;
        if (size == 1) {
            if (end - at < 16)
                return false;
            size = big64(b, at + 8);
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at)
            return false;
        found.push_back(Box{b.substr(at + 4, 4), at + header, at + size_t(size)});
        at += size_t(size);
    }
    return true;
}

}  // namespace

std::string VideoEncoder::locate(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

VideoEncoder::~VideoEncoder() {
    if (pid > 0 || !temporary.empty())
        abandon();
}

bool VideoEncoder::prepare(const std::string& asked, const std::vector<std::string>& inputs) {
    target = asked;
    path = asked;
    struct stat info;
    if (lstat(asked.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode)) {
            // Written through: the link stays, its file is replaced.
            char* resolved = realpath(asked.c_str(), nullptr);
            if (!resolved || stat(resolved, &info) != 0) {
                free(resolved);
                failure = asked + ": a symbolic link to nothing; give the file's own path";
                return false;
            }
            path = resolved;
            free(resolved);
        }
        if (S_ISDIR(info.st_mode)) {
            failure = asked + ": " + std::strerror(EISDIR);
            return false;
        }
        if (!S_ISREG(info.st_mode)) {
            failure = asked + ": not a regular file; a video is written only to a new name or over a regular file";
            return false;
        }
        for (const std::string& input : inputs) {
            struct stat other;
            if (stat(input.c_str(), &other) == 0 && other.st_dev == info.st_dev && other.st_ino == info.st_ino) {
                failure = asked + ": is " + input + ", one of the export's inputs";
                return false;
            }
        }
    } else if (errno != ENOENT) {
        failure = asked + ": " + std::strerror(errno);
        return false;
    }
    // What killed exports left here goes; then the temporary is made now,
    // so that a destination that cannot be written fails before rendering.
    for (const std::string& stale : OutputFile::removeStale(directoryOf(path)))
        std::fprintf(stderr, "velvoria-capture: removed %s, left by an export that was killed\n", stale.c_str());
    temporary = OutputFile::temporaryName(path);
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        failure = asked + ": " + std::strerror(errno);
        temporary.clear();
        return false;
    }
    close(fd);
    return true;
}

bool VideoEncoder::start(const std::string& ffmpeg, const Settings& s) {
    if (temporary.empty() && !prepare(s.path, {s.music}))
        return false;
    seconds = s.to - s.from;
    pictureSeconds = double(std::lround(seconds * s.fps)) / s.fps;
    // Full-precision chroma and BT.709, as every player assumes for HD; the
    // frames arrive bottom row first, at the video's size. The master keeps
    // full chroma (4:4:4): halving it costs a colourful picture more than the
    // compression does.
    std::string video = std::string("vflip,scale=flags=accurate_rnd+full_chroma_int"
                                    ":out_color_matrix=bt709:out_range=tv,format=") +
                        (s.master ? "yuv444p" : "yuv420p");
    // Sample-exact: the music decoded from its start and cut, not sought.
    std::string sound = "atrim=start=" + number(s.from) + ":end=" + number(s.to) + ",asetpts=PTS-STARTPTS";
    std::vector<std::string> args = {
        ffmpeg, "-hide_banner", "-loglevel", "error", "-nostats", "-y",
        "-f", "rawvideo", "-pix_fmt", "rgb24", "-video_size", size(s.width, s.height, 'x'),
        "-framerate", number(s.fps), "-i", "pipe:0",
        "-i", s.music,
        "-map", "0:v:0", "-map", "1:a:0",
        "-vf", video, "-af", sound,
        "-c:v", "libx264", "-preset", "medium", "-crf", s.master ? "10" : "18",
        "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", "-color_range", "tv",
        "-c:a", "aac", "-b:a", "320k", "-ar", "48000",
        "-metadata", "title=" + s.title, "-metadata", "artist=" + s.artist, "-metadata", "date=" + s.year,
        "-movflags", "+faststart", "-f", "mp4", temporary};

    int in[2], err[2];
    if (!makePipes(in, err, failure))
        return false;
    const int streams[3] = {in[0], -1, err[1]};
    pid = spawn(args, streams, true, failure);
    close(in[0]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(err[0]);
        return false;
    }
    input = in[1];
    errors = err[0];
    // A write must not hang while ffmpeg waits to tell us something.
    fcntl(input, F_SETFL, fcntl(input, F_GETFL) | O_NONBLOCK);
    return true;
}

bool VideoEncoder::write(const void* pixels, size_t bytes) {
    const char* next = static_cast<const char*>(pixels);
    while (bytes > 0 && !broken) {
        pollfd fds[2] = {{input, POLLOUT, 0}, {errors, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            broken = true;
            failure = errno == EINTR ? "interrupted" : std::string("poll: ") + std::strerror(errno);
            break;
        }
        if (fds[1].revents)
            readErrors(false);
        if (!fds[0].revents)
            continue;
        ssize_t n = ::write(input, next, bytes);
        if (n > 0) {
            next += n;
            bytes -= size_t(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            broken = true;  // ffmpeg has stopped reading: finish() says why
        }
    }
    return !broken;
}

void VideoEncoder::readErrors(bool untilEnd) {
    char buffer[4096];
    while (errors >= 0) {
        ssize_t n = read(errors, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {  // ffmpeg has closed it: it has ended, or is about to
            close(errors);
            errors = -1;
            break;
        }
        errorText.append(buffer, size_t(n));
        if (errorText.size() > 8192)  // only the last lines matter
            errorText.erase(0, errorText.size() - 4096);
        if (!untilEnd)
            break;
    }
}

bool VideoEncoder::wait() {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    failure = WIFSIGNALED(status) ? "ffmpeg was killed by signal " + std::to_string(WTERMSIG(status))
                                  : "ffmpeg failed with status " + std::to_string(WEXITSTATUS(status));
    return false;
}

bool VideoEncoder::finish() {
    close(input);
    input = -1;
    readErrors(true);  // ffmpeg's standard error ends when it does
    bool ended = wait();
    // What ffmpeg said last says more than its status; the temporary name is
    // ours, the user knows the file by its own.
    std::string said = lastLine(errorText);
    for (size_t at; !temporary.empty() && (at = said.find(temporary)) != std::string::npos;)
        said.replace(at, temporary.size(), target);
    if (ended && !broken) {
        // ffmpeg can end with status 0 on a file it could not finish (a full
        // disk while it writes the index): the file itself must be whole.
        std::string wrong = checkMp4(temporary, pictureSeconds, seconds);
        struct stat info;
        if (!wrong.empty()) {
            failure = "cannot write " + target + ": " + (said.empty() ? wrong : said);
        } else if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
            failure = target + ": not a regular file any more; the video is not written";
        } else if (rename(temporary.c_str(), path.c_str()) == 0) {
            temporary.clear();
            return true;
        } else {
            failure = "cannot write " + target + ": " + std::strerror(errno);
        }
    } else if (!said.empty()) {
        failure = said;
    } else if (ended && failure.empty()) {
        failure = "ffmpeg stopped reading the frames";
    }
    unlink(temporary.c_str());
    temporary.clear();
    return false;
}

void VideoEncoder::abandon() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        if (input >= 0)
            close(input);
        if (errors >= 0)
            close(errors);
        input = errors = -1;
        wait();
    }
    if (!temporary.empty())
        unlink(temporary.c_str());
    temporary.clear();
}

// Runs a program to its end and collects its standard output and the
// first 8 kB of its standard error, both pipes at once, so that a stream of
// complaints cannot stall the output. False, with error set, when it cannot
// be started; status is its wait status.
static bool runCollecting(std::vector<std::string>& args, std::string& output, std::string& complaints,
                          int& status, std::string& error) {
    int out[2], err[2];
    if (!makePipes(out, err, error))
        return false;
    const int streams[3] = {-1, out[1], err[1]};
    pid_t child = spawn(args, streams, false, error);
    close(out[1]);
    close(err[1]);
    if (child < 0) {
        close(out[0]);
        close(err[0]);
        return false;
    }
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    char buffer[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (pollfd& fd : fds) {
            if (fd.fd < 0 || !fd.revents)
                continue;
            ssize_t n = read(fd.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                close(fd.fd);
                fd.fd = -1;
            } else if (&fd == &fds[0]) {
                output.append(buffer, size_t(n));
            } else if (complaints.size() < 8192) {
                complaints.append(buffer, size_t(n));
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

bool VideoEncoder::decodeMono(const std::string& ffmpeg, const std::string& file, int rate,
                              std::vector<float>& samples, std::string& error) {
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

bool VideoEncoder::soundFormat(const std::string& ffprobe, const std::string& file, SoundFormat& format,
                               std::string& error) {
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

std::string VideoEncoder::checkMp4(const std::string& file, double pictureSeconds, double soundSeconds) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return "not a regular file";
    }
    // The top-level boxes, from their headers, must fill the file exactly.
    uint64_t size = uint64_t(info.st_size), at = 0;
    std::string moov, first;
    bool media = false;
    while (at < size) {
        char header[16];
        ssize_t n = pread(fd, header, sizeof header, off_t(at));
        if (n < 8)
            break;
        std::string h(header, size_t(n));
        uint64_t boxSize = big32(h, 0), headerSize = 8;
        if (boxSize == 1 && n == 16) {
            boxSize = big64(h, 8);
            headerSize = 16;
        } else if (boxSize == 0) {
            boxSize = size - at;
        }
        if (boxSize < headerSize || boxSize > size - at)
            break;
        std::string type = h.substr(4, 4);
        if (first.empty())
            first = type;
        if (type == "mdat")
            media = true;
        if (type == "moov" && moov.empty() && boxSize - headerSize < (64u << 20)) {
            moov.resize(size_t(boxSize - headerSize));
            if (pread(fd, &moov[0], moov.size(), off_t(at + headerSize)) != ssize_t(moov.size()))
                moov.clear();
        }
        at += boxSize;
    }
    close(fd);
    if (at != size || first != "ftyp")
        return "the file is cut short or damaged (" + std::to_string(size) + " bytes)";
    if (moov.empty() || !media)
        return "the file has no index or no media data";
    // Each track: its handler (vide, soun) and its length from the media header.
    double picture = -1, sound = -1;
    std::vector<Box> tracks;
    if (!boxes(moov, 0, moov.size(), tracks))
        return "the file's index is damaged";
    for (const Box& track : tracks) {
        if (track.type != "trak")
            continue;
        std::vector<Box> parts, media;
        if (!boxes(moov, track.begin, track.end, parts))
            return "the file's index is damaged";
        for (const Box& part : parts)
            if (part.type == "mdia" && !boxes(moov, part.begin, part.end, media))
                return "the file's index is damaged";
        std::string handler;
        double length = -1;
        for (const Box& box : media) {
            if (box.type == "hdlr" && box.end - box.begin >= 12) {
                handler = moov.substr(box.begin + 8, 4);
            } else if (box.type == "mdhd" && box.end - box.begin >= 24) {
                bool wide = moov[box.begin] == 1;
                if (wide && box.end - box.begin < 36)
                    continue;
                uint32_t scale = big32(moov, box.begin + (wide ? 20 : 12));
                uint64_t duration = wide ? big64(moov, box.begin + 24) : big32(moov, box.begin + 16);
                if (scale)
                    length = double(duration) / scale;
            }
        }
        if (handler == "vide")
            picture = std::max(picture, length);
        else if (handler == "soun")
            sound = std::max(sound, length);
    }
    char text[160];
    if (picture < 0)
        return "the file has no picture";
    if (sound < 0)
        return "the file has no sound";
    // A millisecond's rounding for the picture, 50 ms for the sound.
    if (picture < pictureSeconds - 0.001 || sound < soundSeconds - 0.05) {
        std::snprintf(text, sizeof text, "the file holds %.2f s of picture and %.2f s of sound, not %.2f s", picture,
                      sound, std::min(pictureSeconds, soundSeconds));
        return text;
    }
    return "";
}
