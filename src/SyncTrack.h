#pragma once

#include <cstddef>
#include <cstdint>

// Sync tracks: named key-frame curves over rows, read from ".track" files.
//
// A track file is little-endian, without header or padding: an int32 key
// count N, then N keys of 9 bytes (int32 row, float32 value, int8
// interpolation). A track is read the first time its name is requested and
// kept for the rest of the run. Plain records and free functions; nothing
// here throws.
//
// The editing mode changes keys in memory (setKey, deleteKey) and writes
// tracks back in the same format (edit/TrackSaver.h).

enum Interpolation { Step = 0, Linear = 1, Smooth = 2, Ramp = 3 };

struct TrackKey {
    int32_t row;
    float value;
    int32_t interpolation;  // the file's type byte widened with its sign
};

struct SyncTrack {
    char* name;
    TrackKey* keys;  // null while the track is empty
    int32_t keyCount;
};

struct SyncDevice {
    char* basePath;
    SyncTrack** tracks;  // in the order of their first request
    int32_t trackCount;
};

// The longest track path, terminating zero included.
const int maxTrackPath = 260;

SyncDevice* createDevice(const char* basePath);  // null when memory runs out
void destroyDevice(SyncDevice* device);          // frees the registry and its tracks
SyncTrack* getTrack(SyncDevice* device, const char* name);
// A track's file, basePath + "_" + name + ".track", into a buffer of
// maxTrackPath characters; false (the buffer cut) when it does not fit.
bool trackFilePath(char* path, const char* basePath, const char* name);
int findTrack(const SyncDevice* device, const char* name);
int loadTrack(SyncTrack* track, const char* path);  // 0 read, 1 cannot open
// The keys of a track file's bytes replace the track's: those the count
// promises, as far as whole keys are present; bytes after them are ignored.
void loadTrackBytes(SyncTrack* track, const unsigned char* bytes, size_t size);
int findKeyAtOrBefore(const SyncTrack* track, int32_t row);
// floor(row) as a 32-bit key row, saturating instead of overflowing (NaN
// gives the lowest row).
int32_t wholeRow(double row);
float valueAtRow(const SyncTrack* track, double row);

// Editing. Keys stay in strictly ascending row order: setKey replaces the
// key on its row or inserts it in place (0 done, 1 out of memory, the track
// unchanged); deleteKey removes the key on that row, if there is one;
// clearKeys empties the track.
int setKey(SyncTrack* track, const TrackKey& key);
void deleteKey(SyncTrack* track, int32_t row);
void clearKeys(SyncTrack* track);
