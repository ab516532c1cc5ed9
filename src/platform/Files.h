#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Files as the programs write and watch them: one interface, a half per
// platform (FilesPosix.cpp, FilesWin32.cpp) and what both share (Files.cpp).
//
// A file the programs write is replaced through a temporary: written whole
// under a name of its own beside it, then renamed over it, so nothing
// half-written ever sits under the real name. A temporary's name is the
// file's own name, a mark, the writing process's id and an ending
// ("_Flash.track.4711.tmp", "v.mp4.velvoria-capture-4711.part"). A process
// that is killed leaves its temporary behind; removeStaleTemporaries takes
// away those whose process is gone.

// What tells that a file changed on disk: its modification time, size and
// inode (a file renamed over it is another inode). All zero for a file
// that cannot be examined.
struct FileStamp {
    int64_t modified = 0;  // nanoseconds
    int64_t size = 0;
    uint64_t inode = 0;

    bool operator==(const FileStamp& o) const { return modified == o.modified && size == o.size && inode == o.inode; }
    bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

FileStamp fileStamp(const char* path);

// How the temporaries of one kind of file are named.
struct TemporaryNaming {
    const char* mark;    // between the file's name and the process id
    const char* ending;  // after the process id
};

// The longest name of one directory entry the file systems allow.
const size_t maxNameBytes = 255;

// The temporary under which this process writes `path`, in the same
// directory. Where the file's name with the mark, the id and the ending
// would pass maxNameBytes, the file's name is cut short in it.
std::string temporaryPath(const std::string& path, const TemporaryNaming& naming);

// A temporary that a process no longer running left behind: its path, the
// path of the file it was to replace and the process's id.
struct StaleTemporary {
    std::string path;
    std::string file;
    long long owner = 0;
};

// The temporaries of this naming in `directory` that processes no longer
// running left behind, whose file's name begins with `prefix` and ends with
// `suffix`: regular files only, never links, and (POSIX) only the user's own.
std::vector<StaleTemporary> staleTemporaries(const std::string& directory, const TemporaryNaming& naming,
                                             const std::string& prefix = "", const std::string& suffix = "");

// Removes those stale temporaries; the paths removed.
std::vector<std::string> removeStaleTemporaries(const std::string& directory, const TemporaryNaming& naming,
                                                const std::string& prefix = "", const std::string& suffix = "");

// Writes the bytes to a new file at path, never through a link. One that is
// there already is removed first when it is a regular file of the user's
// own (a temporary of an earlier process of the same id), and refused
// otherwise. 0, or errno's reason; nothing is left at path on a failure.
int writeNewFile(const std::string& path, const void* data, size_t size);

// Renames from over to, replacing what to names (which Windows' rename does
// not). 0, or errno's reason.
int replaceFile(const std::string& from, const std::string& to);

// Why a rename over an existing `path` would be refused although its
// directory can be written: another user's file in a sticky directory (as
// in /tmp). 0 when nothing stands against it, or when there is no file.
int replaceRefused(const std::string& path);

// The path made absolute against the working directory (as it is when it
// is absolute already). 0, or errno's reason where the working directory
// has no name to give: it was removed, or its path is longer than the
// system takes.
int absolutePath(const std::string& path, std::string& absolute);
bool isAbsolutePath(const std::string& path);
// The working directory's path; 0, or errno's reason.
int workingDirectory(std::string& path);

// The directory part of a path ("." when it has none).
std::string directoryOf(const std::string& path);

// The id of this process, and whether one of this id is running now (one
// that is not ours to ask about counts as running).
long long processId();
bool processAlive(long long pid);

// The regular files and other entries of a directory by name ("." and ".."
// left out); empty when it cannot be read.
std::vector<std::string> directoryEntries(const std::string& directory);

// Whether path is a regular file the user may take as theirs to remove: not
// a link, and (POSIX) owned by them.
bool ownRegularFile(const std::string& path);

// Where the process was started with its standard input, output or error
// closed, /dev/null takes the place, so that no file or pipe opened later
// gets one of those numbers (a child given it would read or write the wrong
// thing). Nothing to do on Windows.
void keepStandardStreamsOpen();
