#include "FrameWriter.h"

#include <cstdio>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "OutputFile.h"

namespace {

std::string framePath(const std::string& directory, double seconds) {
    FixedAudio at;  // the frame's time in whole milliseconds, as it is rendered
    at.setPosition(seconds);
    char name[64];
    std::snprintf(name, sizeof name, "/frame-%05u.png", at.ms);
    return directory + name;
}

// PNG rows run top-down; the frame is read bottom row first. Encoded whole
// in memory, then written through the temporary.
bool writePng(const std::string& path, const std::vector<unsigned char>& pixels, int width, int height) {
    const unsigned char* lastRow = pixels.data() + size_t(width) * 4 * (height - 1);
    int size = 0;
    unsigned char* png = stbi_write_png_to_mem(lastRow, -width * 4, width, height, 4, &size);
    std::string error = png ? "" : "cannot write " + path + ": out of memory";
    bool written = png && OutputFile::write(path, png, size_t(size), error);
    STBIW_FREE(png);
    if (!written)
        std::fprintf(stderr, "velvoria-capture: %s\n", error.c_str());
    return written;
}

}  // namespace

int prepareFrames(const CaptureOptions& options, std::vector<std::string>& made) {
    if (!OutputFile::makeDirectories(options.out, made)) {
        std::fprintf(stderr, "velvoria-capture: cannot make the directory %s\n", options.out.c_str());
        return 1;
    }
    for (const std::string& stale : OutputFile::removeStale(options.out))
        std::fprintf(stderr, "velvoria-capture: removed %s, left by a capture that was killed\n", stale.c_str());
    for (double t : options.times) {
        std::string wrong = OutputFile::checkDestination(framePath(options.out, t));
        if (!wrong.empty()) {
            std::fprintf(stderr, "velvoria-capture: %s\n", wrong.c_str());
            return 1;
        }
    }
    return 0;
}

int writeFrames(Renderer& r, const CaptureOptions& options) {
    const std::vector<double>& times = options.times;
    std::vector<unsigned char> pixels;
    long written = 0;
    bool whole = render(r, long(times.size()), [&](long k) { return times[size_t(k)]; }, [&](long, double) {
        readFrame(r, GL_RGBA, 4, pixels);
        for (size_t i = 3; i < pixels.size(); i += 4)
            pixels[i] = 255;  // the window has no alpha to speak of
        std::string path = framePath(options.out, r.player.getPosition());
        if (!writePng(path, pixels, r.width, r.height))
            return false;
        std::printf("%s\n", path.c_str());
        ++written;
        return true;
    });
    if (stopSignal)
        std::fprintf(stderr, "velvoria-capture: interrupted; %ld of %zu frames written to %s\n", written,
                     times.size(), options.out.c_str());
    return whole ? 0 : 1;
}
