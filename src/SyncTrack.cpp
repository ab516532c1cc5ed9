#include "SyncTrack.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <csignal>
#endif

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

static bool buildPath(char* path, const char* basePath, const char* name) {
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
    if (buildPath(path, device->basePath, name))
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

static void putInt32(unsigned char* b, int32_t value) {
    uint32_t u = uint32_t(value);
    b[0] = u & 0xff;
    b[1] = (u >> 8) & 0xff;
    b[2] = (u >> 16) & 0xff;
    b[3] = (u >> 24) & 0xff;
}

// Where a track is written before it is renamed over its file: the path, the
// writing process's id and ".tmp". Only names of this shape are ever removed
// as stale.
static bool temporaryPath(char* temporary, size_t size, const char* path) {
    int written = std::snprintf(temporary, size, "%s.%ld.tmp", path, long(getpid()));
    return written >= 0 && size_t(written) < size;
}

// Writes the track in the file format to a new file. 0 written, otherwise
// errno's reason (nothing is left at the path then).
static int writeTrackFile(const SyncTrack* track, const char* path) {
    FILE* file = std::fopen(path, "wb");
    if (!file)
        return errno ? errno : EIO;
    unsigned char raw[9];
    putInt32(raw, track->keyCount);
    bool ok = std::fwrite(raw, 1, 4, file) == 4;
    for (int i = 0; ok && i < track->keyCount; ++i) {
        const TrackKey& key = track->keys[i];
        uint32_t bits;
        std::memcpy(&bits, &key.value, 4);
        putInt32(raw, key.row);
        putInt32(raw + 4, int32_t(bits));
        raw[8] = static_cast<unsigned char>(int8_t(key.interpolation));
        ok = std::fwrite(raw, 1, 9, file) == 9;
    }
    int reason = ok ? 0 : (errno ? errno : EIO);
    // A failed flush (a full disk) shows only at close.
    if (std::fclose(file) != 0 && !reason)
        reason = errno ? errno : EIO;
    if (reason)
        std::remove(path);
    return reason;
}

// Renames from over to, replacing what to names (Windows' rename does not).
static bool replaceFile(const char* from, const char* to) {
#ifdef _WIN32
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
#else
    return std::rename(from, to) == 0;
#endif
}

int saveTrack(const SyncTrack* track, const char* path) {
    char temporary[maxTrackPath + 32];
    if (!temporaryPath(temporary, sizeof temporary, path) || writeTrackFile(track, temporary) != 0)
        return 1;
    if (!replaceFile(temporary, path)) {
        std::remove(temporary);
        return 1;
    }
    return 0;
}

// Whether a process of this id runs now.
static bool processRunning(long long pid) {
#ifdef _WIN32
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return false;
    DWORD code = 0;
    bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#elif defined(__EMSCRIPTEN__)
    return pid == (long long)getpid();
#else
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
#endif
}

int removeStaleTemporaries(const char* basePath) {
    // basePath is a directory and the start of the file names in it.
    const char* slash = std::strrchr(basePath, '/');
    std::string directory = slash ? std::string(basePath, size_t(slash - basePath) + 1) : "./";
    std::string prefix = std::string(slash ? slash + 1 : basePath) + "_";
    DIR* listing = opendir(directory.c_str());
    if (!listing)
        return 0;
    int removed = 0;
    static const char middle[] = ".track.", end[] = ".tmp";
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        size_t at = name.rfind(middle);
        if (name.compare(0, prefix.size(), prefix) != 0 || at == std::string::npos || at < prefix.size() ||
            name.size() < at + sizeof middle - 1 + sizeof end ||
            name.compare(name.size() - (sizeof end - 1), std::string::npos, end) != 0)
            continue;
        std::string digits = name.substr(at + sizeof middle - 1, name.size() - (sizeof end - 1) - (at + sizeof middle - 1));
        if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // A save of a session that still runs is left alone.
        if (processRunning(std::strtoll(digits.c_str(), nullptr, 10)))
            continue;
        std::string path = directory + name;
        struct stat info;
#ifdef _WIN32
        bool plainFile = stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
#else
        bool plainFile = lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);  // never through a link
#endif
        if (plainFile && std::remove(path.c_str()) == 0)
            ++removed;
    }
    closedir(listing);
    return removed;
}

int saveTracks(const SyncDevice* device, char* why, size_t whySize) {
    const int count = device->trackCount;
    auto say = [&](const char* path, const char* reason) {
        if (why && whySize)
            std::snprintf(why, whySize, "%s: %s", path, reason);
    };
    if (why && whySize)
        why[0] = 0;
    struct Names {
        char path[maxTrackPath];
        char temporary[maxTrackPath + 32];
    };
    Names* names = static_cast<Names*>(std::calloc(size_t(count > 0 ? count : 1), sizeof(Names)));
    if (!names) {
        say(device->basePath, std::strerror(ENOMEM));
        return count;
    }

    // Every track is written under its temporary name first; only when all
    // of them are whole is any renamed over its file. A failure before that
    // leaves every old file as it was.
    int written = 0;
    bool failed = false;
    for (; written < count && !failed; ++written) {
        Names& n = names[written];
        const SyncTrack* track = device->tracks[written];
        if (!buildPath(n.path, device->basePath, track->name) ||
            !temporaryPath(n.temporary, sizeof n.temporary, n.path)) {
            say(track->name, "the track's path is too long");
            failed = true;
            break;
        }
        // What the file's name holds now must be a file to replace (a
        // link is replaced by the file, not followed).
        struct stat info;
        if (stat(n.path, &info) == 0 && !S_ISREG(info.st_mode)) {
            say(n.path, S_ISDIR(info.st_mode) ? "is a directory" : "is not a regular file");
            failed = true;
            break;
        }
        int reason = writeTrackFile(track, n.temporary);
        if (reason) {
            say(n.temporary, std::strerror(reason));
            failed = true;
            break;
        }
    }
    if (failed) {
        for (int i = 0; i < written; ++i)
            std::remove(names[i].temporary);
        std::free(names);
        return count;
    }

    int unsaved = 0;
    for (int i = 0; i < count; ++i) {
        if (!replaceFile(names[i].temporary, names[i].path)) {
            if (!unsaved)
                say(names[i].path, std::strerror(errno));
            std::remove(names[i].temporary);
            ++unsaved;
        }
    }
    std::free(names);
    return unsaved;
}
