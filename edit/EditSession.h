#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "EditClock.h"
#include "EditorLink.h"
#include "platform/Files.h"

class ShaderProgram;
class Window;

// What the editing mode does around each frame: the transport keys, the
// editor link, shaders rebuilt and tracks reread when their files change,
// and the window title that shows where the production stands.
class EditSession {
public:
    // rowRate: the production's rows per second; endTime: where it ends, in
    // seconds, and the editing mode holds.
    EditSession(Window& window, EditClock& clock, double rowRate, double endTime, const std::string& host,
                int port);

    // Once a frame, before the frame is rendered.
    void frame();

private:
    int32_t currentRow();
    void seek(int32_t row);
    void holdAtEnd();
    void handleKeys();
    void reloadShaders();
    void watchTracks();
    void showTitle();

    Window& window;
    EditClock& clock;
    double rowRate;
    double endTime;
    EditorLink link;
    std::vector<FileStamp> trackStamps;  // by track index
    std::vector<ShaderProgram*> brokenPrograms;  // those whose last rebuild failed
    std::string title;
    bool heldAtEnd = false;  // paused at the production's end, the editor told
};
