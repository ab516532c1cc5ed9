#include "OutputFile.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Files.h"

namespace {

const TemporaryNaming captureTemporary = {".velvoria-capture-", ".part"};

#ifdef _WIN32
const char* const separators = "/\\";
bool makeDirectory(const std::string& path) { return _mkdir(path.c_str()) == 0; }
bool removeDirectory(const std::string& path) { return _rmdir(path.c_str()) == 0; }
#else
const char* const separators = "/";
bool makeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }
bool removeDirectory(const std::string& path) { return rmdir(path.c_str()) == 0; }
#endif

}  // namespace

namespace OutputFile {

bool makeDirectories(const std::string& path, std::vector<std::string>& made) {
    for (size_t slash = path.find_first_of(separators, 1); slash != std::string::npos;
         slash = path.find_first_of(separators, slash + 1)) {
        std::string part = path.substr(0, slash);
        if (!part.empty() && makeDirectory(part))
            made.push_back(part);
    }
    if (makeDirectory(path))
        made.push_back(path);
    struct stat info;
    return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFDIR;
}

void removeEmptyDirectories(const std::vector<std::string>& made) {
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        removeDirectory(*it);  // refused while anything is in it
}

std::string temporaryName(const std::string& path) { return temporaryPath(path, captureTemporary); }

std::vector<std::string> removeStale(const std::string& directory) {
    return removeStaleTemporaries(directory, captureTemporary);
}

std::string checkDestination(const std::string& path) {
    struct stat info;
#ifdef _WIN32
    bool there = stat(path.c_str(), &info) == 0, regular = there && (info.st_mode & S_IFREG);
#else
    bool there = lstat(path.c_str(), &info) == 0, regular = there && S_ISREG(info.st_mode);
#endif
    if (there && !regular)
        return "cannot write " + path + ": it is there and is not a regular file";
    if (int reason = replaceRefused(path))
        return "cannot write " + path + ": " + std::strerror(reason) + " (the file is another user's)";
    return "";
}

bool write(const std::string& path, const void* data, size_t size, std::string& error) {
    error = checkDestination(path);
    if (!error.empty())
        return false;
    std::string temporary = temporaryName(path);
    int failed = writeNewFile(temporary, data, size);
    if (!failed)
        failed = replaceFile(temporary, path);
    if (failed) {
        std::remove(temporary.c_str());
        error = "cannot write " + path + ": " + std::strerror(failed);
        return false;
    }
    return true;
}

}  // namespace OutputFile
