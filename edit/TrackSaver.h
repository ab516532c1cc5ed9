#pragma once

#include <cstddef>

#include "SyncTrack.h"

// The editing mode's saves: tracks written back in their file format
// (SyncTrack.h), each through a temporary beside its file
// ("_Flash.track.4711.tmp") renamed over it, so nothing half-written ever
// sits under the real name.

// Writes one track to path. 0 written, 1 failed (the old file untouched).
int saveTrack(const SyncTrack* track, const char* path);

// Every track of the registry to its own file, basePath + "_" + name +
// ".track", as one set: all are written under temporary names first and
// renamed over their files only when every one is whole, so a failure on
// the way (a full disk, a read-only directory, a directory in a file's
// place) changes no file. Once every one is whole, the set is marked as
// such ("_set.4711.whole") until the renames are done: a process killed
// among them leaves the rest to the next session, which finishes them. The
// number of tracks not saved: all of them after a failure on the way,
// otherwise those whose rename failed. why, when given,
// receives the first failure: the path and the reason.
int saveTracks(const SyncDevice* device, char* why = nullptr, size_t whySize = 0);

// What saves killed half-way left beside basePath's tracks, done with by the
// next session: a set that was whole is renamed over its files (*finished
// counts them), the temporaries of one that was not are removed (the count
// returned). Only what processes no longer running left is touched.
int removeStaleTrackTemporaries(const char* basePath, int* finished = nullptr);
