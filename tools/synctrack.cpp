// synctrack: looks inside a sync-track file with the demo's own reader.
//   synctrack keys FILE        one line per key: row, value, interpolation
//   synctrack eval FILE ROW... the track's value at each fractional row
// A path that is not a readable file is refused (status 1), where the demo
// would take it for an empty track; a file shorter than its key count says,
// on standard error, how many keys it holds.

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "SyncTrack.h"

static int usage() {
    std::fprintf(stderr, "usage: synctrack keys FILE\n       synctrack eval FILE ROW...\n");
    return 2;
}

// On standard error, what makes the file other than the demo expects: a
// count the file promises against the keys it holds, rows that do not
// ascend (the demo's key search takes them as strictly ascending).
static void describeFlaws(const char* path, const struct stat& info, const SyncTrack& track) {
    long long promised = 0;
    if (info.st_size >= 4) {
        unsigned char head[4] = {0, 0, 0, 0};
        if (FILE* file = std::fopen(path, "rb")) {
            if (std::fread(head, 1, 4, file) != 4)
                head[0] = head[1] = head[2] = head[3] = 0;
            std::fclose(file);
        }
        promised = int32_t(uint32_t(head[0]) | uint32_t(head[1]) << 8 | uint32_t(head[2]) << 16 |
                           uint32_t(head[3]) << 24);
    }
    if (info.st_size < 4)
        std::fprintf(stderr, "synctrack: %s: %lld bytes, too short for a key count: no keys\n", path,
                     (long long)info.st_size);
    else if (promised != track.keyCount)
        std::fprintf(stderr, "synctrack: %s: promises %lld keys, holds %d whole ones\n", path, promised,
                     track.keyCount);
    for (int i = 1; i < track.keyCount; ++i)
        if (track.keys[i].row <= track.keys[i - 1].row) {
            std::fprintf(stderr, "synctrack: %s: key %d (row %d) does not come after row %d; the rows must ascend\n",
                         path, i, track.keys[i].row, track.keys[i - 1].row);
            break;
        }
}

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    bool keys = std::strcmp(argv[1], "keys") == 0;
    bool eval = std::strcmp(argv[1], "eval") == 0;
    if (!keys && !eval)
        return usage();

    const char* path = argv[2];
    struct stat info;
    if (stat(path, &info) != 0) {
        std::fprintf(stderr, "synctrack: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    if (!S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "synctrack: %s: not a file\n", path);
        return 1;
    }
    SyncTrack track = {const_cast<char*>(path), nullptr, 0};
    if (loadTrack(&track, path) != 0) {
        std::fprintf(stderr, "synctrack: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    describeFlaws(path, info, track);

    if (keys) {
        for (int i = 0; i < track.keyCount; ++i)
            std::printf("%d %.9g %d\n", track.keys[i].row, track.keys[i].value, track.keys[i].interpolation);
    } else {
        for (int i = 3; i < argc; ++i) {
            char* end = nullptr;
            double row = std::strtod(argv[i], &end);
            if (end == argv[i] || *end) {
                std::fprintf(stderr, "synctrack: not a row: %s\n", argv[i]);
                return 2;
            }
            std::printf("%.9g\n", valueAtRow(&track, row));
        }
    }
    std::free(track.keys);
    return 0;
}
