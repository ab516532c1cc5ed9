// Fuzz target for the track reader: any bytes as the contents of a track
// file, read in memory, then the track evaluated at rows around and between
// its keys.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "SyncTrack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SyncTrack track = {nullptr, nullptr, 0};
    loadTrackBytes(&track, data, size);
    // Only whole keys that are there: 4 bytes of count, 9 bytes a key.
    if (track.keyCount < 0 || (track.keyCount > 0 && 4 + 9 * size_t(track.keyCount) > size))
        std::abort();

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
