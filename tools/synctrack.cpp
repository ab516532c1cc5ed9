// synctrack: looks inside a sync-track file with the demo's own reader.
//   synctrack keys FILE        one line per key: row, value, interpolation
//   synctrack eval FILE ROW... the track's value at each fractional row
// A file that cannot be opened is an empty track (value 0).

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SyncTrack.h"

static int usage() {
    std::fprintf(stderr, "usage: synctrack keys FILE\n       synctrack eval FILE ROW...\n");
    return 2;
}

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    bool keys = std::strcmp(argv[1], "keys") == 0;
    bool eval = std::strcmp(argv[1], "eval") == 0;
    if (!keys && !eval)
        return usage();

    SyncTrack track = {const_cast<char*>(argv[2]), nullptr, 0};
    loadTrack(&track, argv[2]);

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
