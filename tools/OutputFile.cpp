#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <dirent.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const marker = ".velvoria-capture-";
const char* const ending = ".part";

#ifdef _WIN32
int processId() { return _getpid(); }
#else
int processId() { return int(getpid()); }
#endif

}  // namespace

namespace OutputFile {

std::string temporaryName(const std::string& path) {
    return path + marker + std::to_string(processId()) + ending;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::vector<std::string> removeStale(const std::string& directory) {
    std::vector<std::string> removed;
#ifndef _WIN32
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return removed;
    const size_t markerLength = std::strlen(marker), endingLength = std::strlen(ending);
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        size_t at = name.rfind(marker);
        if (at == std::string::npos || at == 0 || name.size() <= at + markerLength + endingLength ||
            name.compare(name.size() - endingLength, endingLength, ending) != 0)
            continue;
        std::string digits = name.substr(at + markerLength, name.size() - endingLength - at - markerLength);
        if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        long pid = std::strtol(digits.c_str(), nullptr, 10);
        // Alive (or not ours to ask about): not stale.
        if (pid <= 0 || pid == processId() || kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        std::string path = directory + "/" + name;
        struct stat info;
        if (lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == getuid() &&
            unlink(path.c_str()) == 0)
            removed.push_back(path);
    }
    closedir(dir);
#else
    (void)directory;
#endif
    return removed;
}

bool write(const std::string& path, const void* data, size_t size, std::string& error) {
    struct stat info;
#ifdef _WIN32
    if (stat(path.c_str(), &info) == 0 && !(info.st_mode & S_IFREG)) {
#else
    if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
#endif
        error = "cannot write " + path + ": it is there and is not a regular file";
        return false;
    }
    std::string temporary = temporaryName(path);
#ifdef _WIN32
    int fd = _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const char* next = static_cast<const char*>(data);
    size_t left = size;
    int failed = 0;
    while (left > 0 && !failed) {
#ifdef _WIN32
        int n = _write(fd, next, unsigned(left > (1u << 30) ? (1u << 30) : left));
#else
        ssize_t n = ::write(fd, next, left);
#endif
        if (n > 0) {
            next += n;
            left -= size_t(n);
        } else if (n == 0 || errno != EINTR) {
            failed = n == 0 ? EIO : errno;
        }
    }
#ifdef _WIN32
    if (_close(fd) != 0 && !failed)
        failed = errno;
    // Windows renames over no existing file.
    if (!failed && std::remove(path.c_str()) != 0 && errno != ENOENT)
        failed = errno;
#else
    if (close(fd) != 0 && !failed)
        failed = errno;
#endif
    if (!failed && std::rename(temporary.c_str(), path.c_str()) != 0)
        failed = errno;
    if (failed) {
        std::remove(temporary.c_str());
        error = "cannot write " + path + ": " + std::strerror(failed);
        return false;
    }
    return true;
}

}  // namespace OutputFile
