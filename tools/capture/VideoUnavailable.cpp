// The video export where the platform has none: the Windows build renders
// frames only.
#include <cstdio>

#include "VideoExport.h"

int findEncoder() {
    std::fprintf(stderr, "velvoria-capture: --video is not available in the Windows build; "
                         "export the video with the Linux build\n");
    return 1;
}

int prepareVideo(const CaptureOptions&) { return 1; }

int exportVideo(Renderer&, const CaptureOptions&) { return 1; }

void abandonVideo() {}
