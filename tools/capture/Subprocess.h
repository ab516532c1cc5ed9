#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The programs the capture tool runs (ffmpeg, ffprobe): found on the PATH,
// started with exactly the descriptors they are given, and, on Linux,
// killed when the tool dies, so that a killed capture leaves no ffmpeg
// finishing or waiting on its own.

// Where a program is on the PATH; empty when it is not.
std::string findProgram(const char* name);

// Starts args[0] with these descriptors as its standard input, output and
// error (-1: /dev/null), whatever numbers they have, and the signals the
// tool catches or ignores at their defaults. ownGroup: in a process group
// of its own, so that a Ctrl-C is the tool's to handle. The child's id, or
// -1 with the reason in error.
pid_t spawn(std::vector<std::string>& args, const int streams[3], bool ownGroup, std::string& error);

// Starts args[0] as spawn does, with a new pipe on each of two of its
// standard streams (which: their numbers; input is the pipe's reading end,
// output and error its writing end) and /dev/null on the third; ours gets
// the other ends, in the same order. The child's id, or -1 with the reason
// in error and no pipe left open.
pid_t spawnPiped(std::vector<std::string>& args, const int which[2], bool ownGroup, int ours[2], std::string& error);

// Waits for a child, through interruptions; its wait status.
int waitFor(pid_t child);

// Runs a program to its end and collects its standard output and the
// first 8 kB of its standard error, both pipes at once, so that a stream of
// complaints cannot stall the output. False, with error set, when it cannot
// be started; status is its wait status.
bool runCollecting(std::vector<std::string>& args, std::string& output, std::string& complaints, int& status,
                   std::string& error);

// The last line of what a program said; empty when it said nothing.
std::string lastLine(const std::string& text);
