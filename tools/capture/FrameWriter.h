#pragma once

#include <string>
#include <vector>

#include "CaptureOptions.h"
#include "Renderer.h"

// Frames as PNG files, "frame-<milliseconds>.png" in the output directory,
// each written whole under a temporary name and renamed (OutputFile.h).

// Before anything is rendered: the directory made (the directories it made
// added to `made`), what killed captures left there removed, and every
// frame's file checked to be one that can be written. 0, or the exit
// status having said why.
int prepareFrames(const CaptureOptions& options, std::vector<std::string>& made);

// Renders and writes the frames, each path on standard output as it is
// written. The exit status.
int writeFrames(Renderer& r, const CaptureOptions& options);
