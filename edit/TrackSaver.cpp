#include "TrackSaver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "platform/Files.h"

namespace {

const TemporaryNaming trackTemporary = {".", ".tmp"};
// The mark of a set written whole whose renames are under way.
const TemporaryNaming wholeSet = {".", ".whole"};
const char* const setName = "set";

void putInt32(std::string& bytes, int32_t value) {
    uint32_t u = uint32_t(value);
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(char((u >> shift) & 0xff));
}

// The track in the file format: the key count, then 9 bytes a key.
std::string trackFileBytes(const SyncTrack* track) {
    std::string bytes;
    bytes.reserve(4 + 9 * size_t(track->keyCount));
    putInt32(bytes, track->keyCount);
    for (int i = 0; i < track->keyCount; ++i) {
        const TrackKey& key = track->keys[i];
        uint32_t bits;
        std::memcpy(&bits, &key.value, 4);
        putInt32(bytes, key.row);
        putInt32(bytes, int32_t(bits));
        bytes.push_back(char(int8_t(key.interpolation)));
    }
    return bytes;
}

int writeTemporary(const SyncTrack* track, const std::string& temporary) {
    std::string bytes = trackFileBytes(track);
    return writeNewFile(temporary, bytes.data(), bytes.size());
}

// The base path's directory and the start of its files' names.
void splitBase(const char* basePath, std::string& directory, std::string& prefix) {
    const char* slash = std::strrchr(basePath, '/');
    directory = slash ? std::string(basePath, size_t(slash - basePath) + 1) : "./";
    prefix = std::string(slash ? slash + 1 : basePath) + "_";
}

}  // namespace

int saveTrack(const SyncTrack* track, const char* path) {
    std::string temporary = temporaryPath(path, trackTemporary);
    if (writeTemporary(track, temporary) != 0)
        return 1;
    if (replaceFile(temporary, path) != 0) {
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}

int removeStaleTrackTemporaries(const char* basePath, int* finished) {
    std::string directory, prefix;
    splitBase(basePath, directory, prefix);
    std::vector<long long> whole;
    std::vector<StaleTemporary> marks = staleTemporaries(directory, wholeSet, prefix + setName, prefix + setName);
    for (const StaleTemporary& mark : marks)
        whole.push_back(mark.owner);
    int removed = 0, renamed = 0;
    for (const StaleTemporary& stale : staleTemporaries(directory, trackTemporary, prefix, ".track")) {
        if (std::find(whole.begin(), whole.end(), stale.owner) != whole.end() &&
            replaceFile(stale.path, stale.file) == 0)
            ++renamed;
        else if (std::remove(stale.path.c_str()) == 0)
            ++removed;
    }
    for (const StaleTemporary& mark : marks)
        std::remove(mark.path.c_str());
    if (finished)
        *finished = renamed;
    return removed;
}

// Every track is written under its temporary name first; only when all of
// them are whole is any renamed over its file. A failure before that
// leaves every old file as it was.
int saveTracks(const SyncDevice* device, char* why, size_t whySize) {
    const int count = device->trackCount;
    auto say = [&](const std::string& path, const char* reason) {
        if (why && whySize)
            std::snprintf(why, whySize, "%s: %s", path.c_str(), reason);
    };
    if (why && whySize)
        why[0] = 0;
    std::vector<std::string> paths, temporaries;
    for (int i = 0; i < count; ++i) {
        const SyncTrack* track = device->tracks[i];
        char path[maxTrackPath];
        if (!trackFilePath(path, device->basePath, track->name)) {
            say(track->name, "the track's path is too long");
            break;
        }
        // What the file's name holds now must be a file to replace (a
        // link is replaced by the file, not followed).
        struct stat info;
        if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
            say(path, S_ISDIR(info.st_mode) ? "is a directory" : "is not a regular file");
            break;
        }
        std::string temporary = temporaryPath(path, trackTemporary);
        if (int reason = writeTemporary(track, temporary)) {
            say(temporary, std::strerror(reason));
            break;
        }
        paths.push_back(path);
        temporaries.push_back(temporary);
    }
    if (int(paths.size()) < count) {
        for (const std::string& temporary : temporaries)
            std::remove(temporary.c_str());
        return count;
    }

    // Every track is whole under its temporary name: from here on the set is
    // the new one, if need be by the next session's hand.
    std::string directory, prefix;
    splitBase(device->basePath, directory, prefix);
    std::string mark = temporaryPath(directory + prefix + setName, wholeSet);
    bool marked = writeNewFile(mark, "", 0) == 0;
    int unsaved = 0;
    for (int i = 0; i < count; ++i) {
        if (int reason = replaceFile(temporaries[size_t(i)], paths[size_t(i)])) {
            if (!unsaved)
                say(paths[size_t(i)], std::strerror(reason));
            std::remove(temporaries[size_t(i)].c_str());
            ++unsaved;
        }
    }
    if (marked)
        std::remove(mark.c_str());
    return unsaved;
}
