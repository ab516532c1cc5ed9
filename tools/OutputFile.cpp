#include "OutputFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Files.h"

namespace {

const TemporaryNaming captureTemporary = {".velvoria-capture-", ".part"};

}  // namespace

namespace OutputFile {

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
