#include "VideoEncoder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Mp4Check.h"
#include "OutputFile.h"
#include "Subprocess.h"
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

// ffmpeg's command line: raw frames on its standard input, the music cut to
// the span, the MP4 written to `output`.
std::vector<std::string> encoderArguments(const std::string& ffmpeg, const VideoEncoder::Settings& s,
                                          const std::string& output) {
    // Full-precision chroma and BT.709, as every player assumes for HD; the
    // frames arrive bottom row first, at the video's size. The master keeps
    // full chroma (4:4:4): halving it costs a colourful picture more than the
    // compression does.
    std::string video = std::string("vflip,scale=flags=accurate_rnd+full_chroma_int"
                                    ":out_color_matrix=bt709:out_range=tv,format=") +
                        (s.master ? "yuv444p" : "yuv420p");
    // Sample-exact: the music decoded from its start and cut, not sought.
    std::string sound = "atrim=start=" + number(s.from) + ":end=" + number(s.to) + ",asetpts=PTS-STARTPTS";
    return {ffmpeg, "-hide_banner", "-loglevel", "error", "-nostats", "-y",
            "-f", "rawvideo", "-pix_fmt", "rgb24", "-video_size", size(s.width, s.height, 'x'),
            "-framerate", number(s.fps), "-i", "pipe:0",
            "-i", s.music,
            "-map", "0:v:0", "-map", "1:a:0",
            "-vf", video, "-af", sound,
            "-c:v", "libx264", "-preset", "medium", "-crf", s.master ? "10" : "18",
            "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", "-color_range", "tv",
            "-c:a", "aac", "-b:a", "320k", "-ar", "48000",
            "-metadata", "title=" + s.title, "-metadata", "artist=" + s.artist, "-metadata", "date=" + s.year,
            "-movflags", "+faststart", "-f", "mp4", output};
}

}  // namespace

VideoEncoder::~VideoEncoder() {
    if (pid > 0 || !temporary.empty())
        abandon();
}

// What the path names now: nothing, a regular file that is none of the
// inputs (a link to one is written through), or what is refused.
bool VideoEncoder::checkTarget(const std::string& asked, const std::vector<std::string>& inputs) {
    struct stat info;
    if (lstat(asked.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        failure = asked + ": " + std::strerror(errno);
        return false;
    }
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
    if (int reason = replaceRefused(path)) {
        failure = asked + ": " + std::strerror(reason) + ": it is another user's file, in a directory where only "
                  "its owner may replace it";
        return false;
    }
    return true;
}

bool VideoEncoder::prepare(const std::string& asked, const std::vector<std::string>& inputs) {
    target = asked;
    path = asked;
    if (!checkTarget(asked, inputs))
        return false;
    // What killed exports left here goes; then the temporary is made now,
    // so that a destination that cannot be written fails before rendering.
    for (const std::string& stale : OutputFile::removeStale(directoryOf(path)))
        std::fprintf(stderr, "velvoria-capture: removed %s, left by an export that was killed\n", stale.c_str());
    temporary = OutputFile::temporaryName(path);
    if (int reason = writeNewFile(temporary, nullptr, 0)) {
        failure = asked + ": " + std::strerror(reason);
        temporary.clear();
        return false;
    }
    return true;
}

bool VideoEncoder::start(const std::string& ffmpeg, const Settings& s) {
    if (temporary.empty() && !prepare(s.path, {s.music}))
        return false;
    seconds = s.to - s.from;
    pictureSeconds = double(std::lround(seconds * s.fps)) / s.fps;
    std::vector<std::string> args = encoderArguments(ffmpeg, s, temporary);
    const int which[2] = {0, 2};
    int ours[2];
    pid = spawnPiped(args, which, true, ours, failure);
    if (pid < 0)
        return false;
    input = ours[0];
    errors = ours[1];
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
    int status = waitFor(pid);
    pid = -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    failure = WIFSIGNALED(status) ? "ffmpeg was killed by signal " + std::to_string(WTERMSIG(status))
                                  : "ffmpeg failed with status " + std::to_string(WEXITSTATUS(status));
    return false;
}

// The finished file checked whole and renamed to its name; false with the
// reason in failure. said: ffmpeg's last words, if any.
bool VideoEncoder::nameFinishedFile(const std::string& said) {
    // ffmpeg can end with status 0 on a file it could not finish (a full
    // disk while it writes the index): the file itself must be whole.
    std::string wrong = checkMp4(temporary, pictureSeconds, seconds);
    struct stat info;
    if (!wrong.empty()) {
        failure = "cannot write " + target + ": " + (said.empty() ? wrong : said);
    } else if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        failure = target + ": not a regular file any more; the video is not written";
    } else if (int reason = replaceFile(temporary, path)) {
        failure = "cannot write " + target + ": " + std::strerror(reason);
    } else {
        temporary.clear();
        return true;
    }
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
        if (nameFinishedFile(said))
            return true;
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
