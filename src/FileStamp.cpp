#include "FileStamp.h"

#include <sys/stat.h>

FileStamp fileStamp(const char* path) {
    FileStamp stamp;
    struct stat info;
    if (stat(path, &info) != 0)
        return stamp;
    stamp.modified = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.size = int64_t(info.st_size);
    stamp.inode = uint64_t(info.st_ino);
    return stamp;
}
