#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Files the capture tool writes appear whole under their name or not at all:
// each is written under a temporary name beside it, ending in
// ".velvoria-capture-<process id>.part", and renamed once it is complete
// (platform/Files.h). A process that is killed leaves its temporary; the
// next run that writes into the same directory removes those whose process
// is gone.
namespace OutputFile {

// Makes the directory and those above it that are missing; true when it is
// a directory then. The directories made are added to `made`, the highest
// first.
bool makeDirectories(const std::string& path, std::vector<std::string>& made);
// Removes those of the directories made that are still empty, the deepest
// first: a run that fails leaves no empty directory of its own behind.
void removeEmptyDirectories(const std::vector<std::string>& made);

// The temporary name of a file written by this process.
std::string temporaryName(const std::string& path);

// Removes the temporaries in this directory that processes no longer alive
// left behind (only regular files of ours, by that naming); the names removed.
std::vector<std::string> removeStale(const std::string& directory);

// Empty when a file can be written at path: nothing there, or a regular
// file the user may replace; otherwise why not, naming path.
std::string checkDestination(const std::string& path);

// Writes these bytes to path whole, through the temporary name; false with
// the reason, naming path, in error. An existing path that is not a regular
// file is refused, not replaced.
bool write(const std::string& path, const void* data, size_t size, std::string& error);

}  // namespace OutputFile
