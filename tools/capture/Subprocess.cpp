#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// The argument vector execv takes, pointing into args.
std::vector<char*> argumentVector(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return argv;
}

// In the child, between fork and exec (only calls that are safe there):
// each stream onto its number. One whose own number is another standard
// one is moved above them first, so that no dup2 overwrites a stream still
// to be placed; one already on its number has its close-on-exec cleared,
// which dup2 onto itself would leave set.
void placeStreams(const int streams[3]) {
    int from[3];
    for (int fd = 0; fd < 3; ++fd) {
        from[fd] = streams[fd] >= 0 ? streams[fd] : open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
        if (from[fd] >= 0 && from[fd] < 3 && from[fd] != fd)
            from[fd] = fcntl(from[fd], F_DUPFD_CLOEXEC, 3);
        if (from[fd] < 0)
            _exit(127);
    }
    for (int fd = 0; fd < 3; ++fd) {
        int placed = from[fd] == fd ? fcntl(fd, F_SETFD, 0) : dup2(from[fd], fd);
        if (placed < 0)
            _exit(127);
    }
}

[[noreturn]] void becomeChild(std::vector<char*>& argv, const int streams[3], bool ownGroup, pid_t parent,
                              int report) {
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
#else
    (void)parent;
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
    placeStreams(streams);
    execv(argv[0], argv.data());
    int failure = errno;
    ssize_t ignored = write(report, &failure, sizeof failure);
    (void)ignored;
    _exit(127);
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

std::string findProgram(const char* name) {
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

int waitFor(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

pid_t spawn(std::vector<std::string>& args, const int streams[3], bool ownGroup, std::string& error) {
    std::vector<char*> argv = argumentVector(args);
    int report[2];  // the exec's failure, if any, from the child
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return -1;
    }
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0)
        becomeChild(argv, streams, ownGroup, parent, report[1]);
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
        waitFor(child);
        error = std::string("cannot start ") + args[0] + ": " + std::strerror(failure);
        return -1;
    }
    return child;
}

pid_t spawnPiped(std::vector<std::string>& args, const int which[2], bool ownGroup, int ours[2], std::string& error) {
    int pipes[2][2];
    if (!makePipes(pipes[0], pipes[1], error))
        return -1;
    int streams[3] = {-1, -1, -1};
    for (int i = 0; i < 2; ++i) {
        bool input = which[i] == 0;
        streams[which[i]] = pipes[i][input ? 0 : 1];
        ours[i] = pipes[i][input ? 1 : 0];
    }
    pid_t child = spawn(args, streams, ownGroup, error);
    for (int i = 0; i < 2; ++i)
        close(streams[which[i]]);
    if (child < 0) {
        close(ours[0]);
        close(ours[1]);
    }
    return child;
}

namespace {

// Reads both pipes until both have ended: output whole, complaints up to 8 kB.
void collect(int out, int err, std::string& output, std::string& complaints) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
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
}

}  // namespace

bool runCollecting(std::vector<std::string>& args, std::string& output, std::string& complaints, int& status,
                   std::string& error) {
    const int which[2] = {1, 2};
    int ours[2];
    pid_t child = spawnPiped(args, which, false, ours, error);
    if (child < 0)
        return false;
    collect(ours[0], ours[1], output, complaints);
    status = waitFor(child);
    return true;
}

std::string lastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string::npos)
        return "";
    size_t start = text.find_last_of("\r\n", end);
    start = start == std::string::npos ? 0 : start + 1;
    return text.substr(start, end + 1 - start);
}
