// What the platform halves of the files module share: file stamps, the
// temporaries' names and the removal of stale ones.

#include "platform/Files.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The process id in a temporary's name of this naming (its file's own name
// in `file`), or -1 when the name is not one.
long long temporaryOwner(const std::string& name, const TemporaryNaming& naming, std::string& file) {
    const std::string mark = naming.mark, ending = naming.ending;
    if (!endsWith(name, ending))
        return -1;
    std::string rest = name.substr(0, name.size() - ending.size());
    size_t at = rest.rfind(mark);
    if (at == std::string::npos || at == 0)
        return -1;
    std::string digits = rest.substr(at + mark.size());
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    file = rest.substr(0, at);
    return std::strtoll(digits.c_str(), nullptr, 10);
}

}  // namespace

FileStamp fileStamp(const char* path) {
    FileStamp stamp;
    struct stat info;
    if (stat(path, &info) != 0)
        return stamp;
#if defined(_WIN32)
    stamp.modified = int64_t(info.st_mtime) * 1000000000;  // whole seconds there
#elif defined(__APPLE__)
    stamp.modified = int64_t(info.st_mtimespec.tv_sec) * 1000000000 + info.st_mtimespec.tv_nsec;
#else
    stamp.modified = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
#endif
    stamp.size = int64_t(info.st_size);
    stamp.inode = uint64_t(info.st_ino);
    return stamp;
}

int absolutePath(const std::string& path, std::string& absolute) {
    if (isAbsolutePath(path)) {
        absolute = path;
        return 0;
    }
    std::string directory;
    if (int reason = workingDirectory(directory))
        return reason;
    absolute = directory + "/" + path;
    return absolute.size() < PATH_MAX ? 0 : ENAMETOOLONG;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string temporaryPath(const std::string& path, const TemporaryNaming& naming) {
    std::string tail = naming.mark + std::to_string(processId()) + naming.ending;
    size_t slash = path.find_last_of("/\\");
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t nameBytes = path.size() - nameStart;
    if (nameBytes + tail.size() <= maxNameBytes)
        return path + tail;
    return path.substr(0, nameStart + (maxNameBytes - tail.size())) + tail;
}

std::vector<StaleTemporary> staleTemporaries(const std::string& directory, const TemporaryNaming& naming,
                                             const std::string& prefix, const std::string& suffix) {
    std::vector<StaleTemporary> stale;
    const long long self = processId();
    for (const std::string& name : directoryEntries(directory)) {
        StaleTemporary found;
        found.owner = temporaryOwner(name, naming, found.file);
        if (found.owner <= 0 || found.owner == self || found.file.compare(0, prefix.size(), prefix) != 0 ||
            !endsWith(found.file, suffix))
            continue;
        // A save or an export of a process that still runs is left alone.
        if (processAlive(found.owner))
            continue;
        const std::string slash = endsWith(directory, "/") ? "" : "/";
        found.path = directory + slash + name;
        found.file = directory + slash + found.file;
        if (ownRegularFile(found.path))
            stale.push_back(found);
    }
    return stale;
}

std::vector<std::string> removeStaleTemporaries(const std::string& directory, const TemporaryNaming& naming,
                                                const std::string& prefix, const std::string& suffix) {
    std::vector<std::string> removed;
    for (const StaleTemporary& stale : staleTemporaries(directory, naming, prefix, suffix))
        if (std::remove(stale.path.c_str()) == 0)
            removed.push_back(stale.path);
    return removed;
}
