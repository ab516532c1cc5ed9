#pragma once

#include <sys/stat.h>

// Whether a path names a regular file or a directory, links followed.
// Anything else (a FIFO, a socket, a device) can block an open or a read for
// ever, so the loaders treat it like a file that is not there. A directory
// opens and then fails to read, which the loaders already handle.
inline bool isFileOrDirectory(const char* path) {
    struct stat info;
    return path && stat(path, &info) == 0 && (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode));
}
