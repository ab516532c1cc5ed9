// The files module on Windows.
#ifdef _WIN32

#include "platform/Files.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

bool isAbsolutePath(const std::string& path) {
    return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() > 1 && path[1] == ':');
}

int workingDirectory(std::string& path) {
    char* directory = _getcwd(nullptr, 0);
    if (!directory)
        return errno;
    path = directory;
    std::free(directory);
    return 0;
}

long long processId() { return (long long)_getpid(); }

bool processAlive(long long pid) {
    if (pid <= 0 || pid > 0xffffffffLL)
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to ask
    DWORD code = 0;
    bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

std::vector<std::string> directoryEntries(const std::string& directory) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

bool ownRegularFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

int writeNewFile(const std::string& path, const void* data, size_t size) {
    const int flags = _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY;
    int fd = _open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno == EEXIST && ownRegularFile(path) && std::remove(path.c_str()) == 0)
        fd = _open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return errno;
    const char* next = static_cast<const char*>(data);
    int failed = 0;
    while (size > 0 && !failed) {
        int n = _write(fd, next, unsigned(size > (1u << 30) ? (1u << 30) : size));
        if (n > 0) {
            next += n;
            size -= size_t(n);
        } else {
            failed = n == 0 ? EIO : errno;
        }
    }
    if (_close(fd) != 0 && !failed)
        failed = errno;
    if (failed)
        std::remove(path.c_str());
    return failed;
}

int replaceFile(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 0;
    return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
}

// Windows has no sticky directories; what else refuses a replacement shows
// when the file is renamed.
int replaceRefused(const std::string&) { return 0; }

void keepStandardStreamsOpen() {}

#endif  // _WIN32
