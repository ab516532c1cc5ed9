#include "VideoEncoder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

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

// The argument vector posix_spawn takes, pointing into args.
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

}  // namespace

std::string VideoEncoder::locate() {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/ffmpeg";
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

VideoEncoder::~VideoEncoder() {
    if (pid > 0)
        abandon();
}

bool VideoEncoder::start(const std::string& ffmpeg, const Settings& s) {
    path = s.path;
    temporary = s.path + "." + std::to_string(getpid()) + ".part";
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
    std::vector<char*> argv = argumentVector(args);

    int in[2], err[2];
    if (!makePipes(in, err, failure))
        return false;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, in[0], 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&files, err[1], 2);
    // Its own process group: a Ctrl-C is ours to handle, and we stop it.
    // Signals we ignore or catch are its defaults again.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int result = posix_spawn(&pid, ffmpeg.c_str(), &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(err[1]);
    if (result != 0) {
        pid = -1;
        close(in[1]);
        close(err[0]);
        failure = "cannot start " + ffmpeg + ": " + std::strerror(result);
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
    if (ended && !broken) {
        if (rename(temporary.c_str(), path.c_str()) == 0)
            return true;
        failure = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    } else {
        // What ffmpeg said last says more than its status.
        std::string said = lastLine(errorText);
        if (!said.empty()) {
            failure = said;
            // The temporary name is ours; the user knows the file by its own.
            size_t at = failure.find(temporary);
            if (at != std::string::npos)
                failure.replace(at, temporary.size(), path);
        } else if (ended && failure.empty()) {
            failure = "ffmpeg stopped reading the frames";
        }
    }
    unlink(temporary.c_str());
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
    unlink(temporary.c_str());
}

bool VideoEncoder::decodeMono(const std::string& ffmpeg, const std::string& file, int rate,
                              std::vector<float>& samples, std::string& error) {
    std::vector<std::string> args = {ffmpeg, "-hide_banner", "-loglevel", "error", "-nostdin", "-i", file,
                                     "-vn", "-ac", "1", "-ar", std::to_string(rate), "-f", "f32le", "pipe:1"};
    std::vector<char*> argv = argumentVector(args);
    int out[2], err[2];
    if (!makePipes(out, err, error))
        return false;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, out[1], 1);
    posix_spawn_file_actions_adddup2(&files, err[1], 2);
    pid_t child = -1;
    int result = posix_spawn(&child, ffmpeg.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    close(out[1]);
    close(err[1]);
    if (result != 0) {
        close(out[0]);
        close(err[0]);
        error = "cannot start " + ffmpeg + ": " + std::strerror(result);
        return false;
    }
    // Both pipes at once: a stream of complaints must not stall the samples.
    std::string bytes, complaints;
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
                bytes.append(buffer, size_t(n));
            } else if (complaints.size() < 8192) {
                complaints.append(buffer, size_t(n));
            }
        }
    }
    for (pollfd& fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = lastLine(complaints);
        if (error.empty())
            error = "ffmpeg cannot decode it";
        return false;
    }
    samples.resize(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return true;
}
