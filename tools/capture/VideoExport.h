#pragma once

#include "CaptureOptions.h"
#include "Renderer.h"

// --video: the frames fed to ffmpeg with the music, into one MP4
// (VideoExport.cpp); where the platform has no export (Windows), each step
// says so (VideoUnavailable.cpp). Each returns 0 to go on, otherwise the
// exit status, having said why.

// Before the working directory changes: ffmpeg found on the PATH (whose
// relative entries mean the directory the tool was started in).
int findEncoder();

// After it, before anything is rendered: the destination checked and its
// temporary reserved, the music (and a master in its place) checked. A
// signal from here on ends the export with nothing left behind.
int prepareVideo(const CaptureOptions& options);

// Renders the span and encodes it; the exit status.
int exportVideo(Renderer& r, const CaptureOptions& options);

// Stops ffmpeg and removes what it wrote (the run was stopped or failed).
void abandonVideo();
