// Fuzz target for the track reader: any bytes as a track file, then the
// track evaluated at rows around and between its keys.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "SyncTrack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = "/tmp/velvoria-fuzz-" + std::to_string(getpid()) + ".track";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    SyncTrack track = {nullptr, nullptr, 0};
    if (loadTrack(&track, path.c_str()) != 0)
        return 0;
    if (track.keyCount < 0 || size_t(track.keyCount) * 9 + 4 > size + 9)
        std::abort();  // more keys than the file can hold

    double rows[] = {-1e300, -2147483649.0, -1.0, 0.0, 0.5, 7.25, 1e6, 2147483648.0, 1e300};
    for (double row : rows)
        (void)valueAtRow(&track, row);
    for (int i = 0; i < track.keyCount && i < 64; ++i) {
        double row = track.keys[i].row;
        (void)valueAtRow(&track, row);
        (void)valueAtRow(&track, row + 0.5);
        (void)valueAtRow(&track, row - 0.5);
    }
    std::free(track.keys);
    return 0;
}
