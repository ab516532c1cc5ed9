#include "SyncTrack.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/PathKind.h"

static char* copyText(const char* text) {
    size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy)
        std::memcpy(copy, text, size);
    return copy;
}

SyncDevice* createDevice(const char* basePath) {
    SyncDevice* device = static_cast<SyncDevice*>(std::malloc(sizeof(SyncDevice)));
    if (!device)
        return nullptr;
    device->basePath = copyText(basePath);
    if (!device->basePath) {
        std::free(device);
        return nullptr;
    }
    device->tracks = nullptr;
    device->trackCount = 0;
    return device;
}

void destroyDevice(SyncDevice* device) {
    if (!device)
        return;
    for (int i = 0; i < device->trackCount; ++i) {
        std::free(device->tracks[i]->name);
        std::free(device->tracks[i]->keys);
        std::free(device->tracks[i]);
    }
    std::free(device->tracks);
    std::free(device->basePath);
    std::free(device);
}

int findTrack(const SyncDevice* device, const char* name) {
    for (int i = 0; i < device->trackCount; ++i)
        if (std::strcmp(device->tracks[i]->name, name) == 0)
            return i;
    return -1;
}

bool trackFilePath(char* path, const char* basePath, const char* name) {
    int written = std::snprintf(path, maxTrackPath, "%s_%s.track", basePath, name);
    return written >= 0 && written < maxTrackPath;
}

SyncTrack* getTrack(SyncDevice* device, const char* name) {
    int index = findTrack(device, name);
    if (index >= 0)
        return device->tracks[index];

    // Running out of memory here has no way to report itself: the caller
    // expects a track, so it is fatal.
    SyncTrack* track = static_cast<SyncTrack*>(std::malloc(sizeof(SyncTrack)));
    SyncTrack** grown = static_cast<SyncTrack**>(
        std::realloc(device->tracks, sizeof(SyncTrack*) * (size_t(device->trackCount) + 1)));
    if (!track || !grown)
        std::abort();
    track->name = copyText(name);
    if (!track->name)
        std::abort();
    track->keys = nullptr;
    track->keyCount = 0;
    device->tracks = grown;
    device->tracks[device->trackCount++] = track;

    // One shared buffer for all paths. A path that does not fit leaves the
    // track empty rather than reading a file of a cut name.
    static char path[maxTrackPath];
    if (trackFilePath(path, device->basePath, name))
        loadTrack(track, path);
    return track;
}

static int32_t readInt32(const unsigned char* b) {
    uint32_t u = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return int32_t(u);
}

// The number of keys the header promises, none for a negative count.
static int32_t promisedKeys(const unsigned char* header) {
    int32_t count = readInt32(header);
    return count > 0 ? count : 0;
}

int loadTrack(SyncTrack* track, const char* path) {
    if (!isFileOrDirectory(path))
        return 1;
    FILE* file = std::fopen(path, "rb");
    if (!file)
        return 1;

    // Read what the count promises and no more. The buffer grows with what
    // actually arrives, so a lying count cannot make us allocate memory the
    // file does not fill. A directory opens but reads nothing: an empty track.
    size_t capacity = 4096;
    unsigned char* bytes = static_cast<unsigned char*>(std::malloc(capacity));
    size_t size = bytes ? std::fread(bytes, 1, 4, file) : 0;
    size_t wanted = size == 4 ? 4 + 9 * size_t(promisedKeys(bytes)) : size;
    while (size < wanted) {
        if (size == capacity) {
            size_t grow = capacity < wanted / 2 ? capacity * 2 : wanted;
            unsigned char* grown = static_cast<unsigned char*>(std::realloc(bytes, grow));
            if (!grown)
                break;
            bytes = grown;
            capacity = grow;
        }
        size_t chunk = (wanted < capacity ? wanted : capacity) - size;
        size_t got = std::fread(bytes + size, 1, chunk, file);
        size += got;
        if (got < chunk)
            break;
    }
    std::fclose(file);

    loadTrackBytes(track, bytes, size);
    std::free(bytes);
    return 0;
}

void loadTrackBytes(SyncTrack* track, const unsigned char* bytes, size_t size) {
    int32_t count = 0;
    if (size >= 4) {
        count = promisedKeys(bytes);
        size_t present = (size - 4) / 9;  // whole keys only
        if (size_t(count) > present)
            count = int32_t(present);
    }

    // Out of memory leaves the track empty.
    TrackKey* keys = count > 0 ? static_cast<TrackKey*>(std::malloc(sizeof(TrackKey) * size_t(count))) : nullptr;
    if (!keys)
        count = 0;
    for (int32_t k = 0; k < count; ++k) {
        const unsigned char* raw = bytes + 4 + 9 * size_t(k);
        keys[k].row = readInt32(raw);
        std::memcpy(&keys[k].value, raw + 4, 4);
        keys[k].interpolation = int32_t(int8_t(raw[8]));
    }

    std::free(track->keys);
    track->keys = keys;
    track->keyCount = count;
}

int findKeyAtOrBefore(const SyncTrack* track, int32_t row) {
    int lo = 0;
    int hi = track->keyCount;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (track->keys[mid].row < row)
            lo = mid + 1;
        else if (track->keys[mid].row > row)
            hi = mid;
        else
            return mid;
    }
    return lo - 1;
}

int32_t wholeRow(double row) {
    double whole = std::floor(row);
    if (!(whole >= -2147483648.0))  // also NaN
        return INT32_MIN;
    if (whole > 2147483647.0)
        return INT32_MAX;
    return int32_t(whole);
}

float valueAtRow(const SyncTrack* track, double row) {
    if (track->keyCount == 0)
        return 0.0f;
    int i = findKeyAtOrBefore(track, wholeRow(row));
    if (i < 0)
        return track->keys[0].value;
    if (i > track->keyCount - 2)
        return track->keys[track->keyCount - 1].value;

    const TrackKey& a = track->keys[i];
    const TrackKey& b = track->keys[i + 1];
    // The row difference is a 32-bit difference, formed with wrap-around.
    int32_t span = int32_t(uint32_t(b.row) - uint32_t(a.row));
    if (span == 0)
        return a.value;  // two keys on one row: a zero-length segment
    double t = (row - a.row) / double(span);
    double difference = double(b.value - a.value);
    switch (a.interpolation) {
    case Step:
        return a.value;
    case Linear:
        return float(a.value + difference * t);
    case Smooth:
        return float(a.value + difference * (t * t * (3.0 - 2.0 * t)));
    case Ramp:
        return float(a.value + difference * std::pow(t, 2.0));
    default:
        return 0.0f;
    }
}

int setKey(SyncTrack* track, const TrackKey& key) {
    int i = findKeyAtOrBefore(track, key.row);
    if (i >= 0 && track->keys[i].row == key.row) {
        track->keys[i] = key;
        return 0;
    }
    TrackKey* grown = static_cast<TrackKey*>(std::realloc(track->keys, sizeof(TrackKey) * (size_t(track->keyCount) + 1)));
    if (!grown)
        return 1;
    track->keys = grown;
    int at = i + 1;
    std::memmove(track->keys + at + 1, track->keys + at, sizeof(TrackKey) * size_t(track->keyCount - at));
    track->keys[at] = key;
    ++track->keyCount;
    return 0;
}

void deleteKey(SyncTrack* track, int32_t row) {
    int i = findKeyAtOrBefore(track, row);
    if (i < 0 || track->keys[i].row != row)
        return;
    std::memmove(track->keys + i, track->keys + i + 1, sizeof(TrackKey) * size_t(track->keyCount - i - 1));
    if (--track->keyCount == 0) {
        std::free(track->keys);
        track->keys = nullptr;
    }
}

void clearKeys(SyncTrack* track) {
    std::free(track->keys);
    track->keys = nullptr;
    track->keyCount = 0;
}
