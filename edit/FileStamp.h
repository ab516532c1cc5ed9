#pragma once

#include <cstdint>

// What tells that a file changed on disk: its modification time, size and
// inode (a file renamed over it is another inode). All zero for a file
// that cannot be examined.
struct FileStamp {
    int64_t modified = 0;  // nanoseconds
    int64_t size = 0;
    uint64_t inode = 0;

    bool operator==(const FileStamp& o) const { return modified == o.modified && size == o.size && inode == o.inode; }
    bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

FileStamp fileStamp(const char* path);
