#include "FileStamp.h"

#include <sys/stat.h>

FileStamp fileStamp(const char* path) {
    FileStamp stamp;
    struct stat info;
    if (stat(path, &info) != 0)
        return stamp;
#ifdef _WIN32
    stamp.modified = int64_t(info.st_mtime) * 1000000000;  // whole seconds there
#else
    stamp.modified = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
#endif
    stamp.size = int64_t(info.st_size);
    stamp.inode = uint64_t(info.st_ino);
    return stamp;
}
