#include "EditSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "ShaderProgram.h"
#include "TrackSaver.h"
#include "Sync.h"
#include "Window.h"

EditSession::EditSession(Window& window, EditClock& clock, double rowRate, double endTime, const std::string& host,
                         int port)
    : window(window), clock(clock), rowRate(rowRate), endTime(endTime), link(Sync::instance().getDevice(), host, port) {
    window.reportKeys = true;
    // A save killed half-way leaves its temporary files; this session's
    // saves are the only other writers of such names.
    SyncDevice* device = Sync::instance().getDevice();
    int finished = 0;
    if (int removed = removeStaleTrackTemporaries(device->basePath, &finished))
        std::fprintf(stderr, "velvoria: removed %d temporary track file%s of an unfinished save from %s\n",
                     removed, removed == 1 ? "" : "s", device->basePath);
    if (finished)
        std::fprintf(stderr, "velvoria: finished the interrupted save of %d track file%s in %s\n", finished,
                     finished == 1 ? "" : "s", device->basePath);
}

int32_t EditSession::currentRow() { return int32_t(std::floor(clock.getPosition() * rowRate)); }

void EditSession::seek(int32_t row) {
    clock.setRow(row, rowRate);
    link.tellRow(currentRow());
}

void EditSession::frame() {
    handleKeys();
    holdAtEnd();
    EditorLink::Requests requests = link.pump(wallClockMilliseconds(), currentRow(), clock.isPlaying());
    if (requests.seek)
        clock.setRow(requests.row, rowRate);
    if (requests.pauseChanged) {
        if (requests.paused)
            clock.pause();
        else
            clock.resume();
    }
    reloadShaders();
    watchTracks();
    showTitle();
}

// Played into its end, the production pauses there (here, or in the tick
// when the end comes between this and the frame) and tells the editor the
// row it pauses on, once. Nothing in the protocol pauses the editor: it
// shows that row and still believes it is playing until its user pauses it.
void EditSession::holdAtEnd() {
    if (clock.isPlaying() && clock.getPosition() >= endTime) {
        clock.pause();
        clock.setPosition(endTime);
    }
    bool held = !clock.isPlaying() && clock.getPosition() >= endTime;
    if (held && !heldAtEnd)
        link.tellRow(currentRow());
    heldAtEnd = held;
}

void EditSession::handleKeys() {
    const int beat = 8, bar = 32;  // rows
    for (Window::Key key : window.takeKeyPresses()) {
        switch (key) {
        case Window::Key::Space:
            if (clock.isPlaying())
                clock.pause();
            else
                clock.resume();
            break;
        case Window::Key::Left: seek(currentRow() - beat); break;
        case Window::Key::Right: seek(currentRow() + beat); break;
        case Window::Key::PageUp: seek(currentRow() - bar); break;
        case Window::Key::PageDown: seek(currentRow() + bar); break;
        case Window::Key::Home: seek(0); break;
        }
    }
}

void EditSession::reloadShaders() {
    for (ShaderProgram* program : ShaderProgram::all()) {
        if (!program->changedOnDisk())
            continue;
        std::string log;
        bool rebuilt = program->rebuild(log);
        brokenPrograms.erase(std::remove(brokenPrograms.begin(), brokenPrograms.end(), program), brokenPrograms.end());
        if (rebuilt) {
            std::fprintf(stderr, "velvoria: rebuilt %s + %s\n", program->vertexPath.c_str(),
                         program->fragmentPath.c_str());
        } else {
            // The old program stays in use: a typo never ends the session.
            std::fprintf(stderr, "velvoria: %s + %s: keeping the old program\n%s\n", program->vertexPath.c_str(),
                         program->fragmentPath.c_str(), log.c_str());
            brokenPrograms.push_back(program);
        }
    }
}

void EditSession::watchTracks() {
    SyncDevice* device = Sync::instance().getDevice();
    for (int i = 0; i < device->trackCount; ++i) {
        SyncTrack* track = device->tracks[i];
        std::string path = std::string(device->basePath) + "_" + track->name + ".track";
        FileStamp stamp = fileStamp(path.c_str());
        if (size_t(i) >= trackStamps.size()) {
            trackStamps.push_back(stamp);  // read with the track's first use
            continue;
        }
        // With an editor connected its keys rule, whatever the files do
        // (the saves of the session included).
        if (stamp != trackStamps[size_t(i)] && !link.connected()) {
            loadTrack(track, path.c_str());
            std::fprintf(stderr, "velvoria: reread %s\n", path.c_str());
        }
        trackStamps[size_t(i)] = stamp;
    }
}

void EditSession::showTitle() {
    char text[300];
    double seconds = clock.getPosition();
    std::string broken;
    if (!brokenPrograms.empty()) {
        const ShaderProgram& first = *brokenPrograms.front();
        broken = " | shader error in " + first.vertexPath + " + " + first.fragmentPath;
    }
    std::snprintf(text, sizeof text, "Orvanth - Velvoria | row %d | %.2f s%s%s%s", currentRow(), seconds,
                  clock.isPlaying() ? "" : " | paused", link.connected() ? " | editor" : "",
                  broken.c_str());
    if (title != text) {
        title = text;
        window.setTitle(text);
    }
}
