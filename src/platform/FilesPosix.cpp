// The files module on POSIX systems (Linux, the BSDs, macOS, and the
// browser's emscripten, which has no other processes).
#ifndef _WIN32

#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

bool isAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

int workingDirectory(std::string& path) {
    char* directory = getcwd(nullptr, 0);
    if (!directory)
        return errno;
    path = directory;
    std::free(directory);
    return 0;
}

long long processId() { return (long long)getpid(); }

bool processAlive(long long pid) {
#ifdef __EMSCRIPTEN__
    return pid == processId();
#else
    return pid > 0 && pid == (long long)pid_t(pid) && (kill(pid_t(pid), 0) == 0 || errno != ESRCH);
#endif
}

std::vector<std::string> directoryEntries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* listing = opendir(directory.c_str());
    if (!listing)
        return names;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(listing);
    return names;
}

bool ownRegularFile(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
}

int writeNewFile(const std::string& path, const void* data, size_t size) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0 && errno == EEXIST && ownRegularFile(path) && unlink(path.c_str()) == 0)
        fd = open(path.c_str(), flags, 0666);
    if (fd < 0)
        return errno;
    const char* next = static_cast<const char*>(data);
    int failed = 0;
    while (size > 0 && !failed) {
        ssize_t n = write(fd, next, size);
        if (n > 0) {
            next += n;
            size -= size_t(n);
        } else if (n == 0 || errno != EINTR) {
            failed = n == 0 ? EIO : errno;
        }
    }
    // A full disk may show only when the file is closed.
    if (close(fd) != 0 && !failed)
        failed = errno;
    if (failed)
        unlink(path.c_str());
    return failed;
}

int replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int replaceRefused(const std::string& path) {
    struct stat file, directory;
    if (lstat(path.c_str(), &file) != 0 || stat(directoryOf(path).c_str(), &directory) != 0)
        return 0;
    // In a sticky directory only the file's owner, the directory's owner
    // and the superuser may rename over a file.
    uid_t user = geteuid();
    if ((directory.st_mode & S_ISVTX) && file.st_uid != user && directory.st_uid != user && user != 0)
        return EPERM;
    return 0;
}

void keepStandardStreamsOpen() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is this one.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd)
            close(opened);
    }
}

#endif  // !_WIN32
