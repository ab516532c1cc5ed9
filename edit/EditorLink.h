#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EditorAddress.h"
#include "SyncTrack.h"

// The link to a Rocket editor over TCP, the demo being the client. Once a
// frame the loop pumps it: it connects (retrying about once a second while
// no editor answers), greets, asks for every track of the registry in the
// registry's order (which is the track index the editor uses), applies the
// editor's key changes to the registry at once, writes the tracks when the
// editor asks (at most once a frame: saves asked for in a row are one),
// and tells the editor the row while the demo plays.
//
// Nothing here blocks: the host name is looked up on a thread of its own,
// the socket is non-blocking, a command is acted on only once all its bytes
// are in, and a connection that does not answer in time is given up. A name
// that cannot be looked up is said once on standard error and tried again
// only every half minute. Anything the editor sends that is not the protocol
// drops the link with one line on standard error; the keys stay as they are.
class EditorLink {
public:
    static const int defaultPort = defaultEditorPort;

    // What the editor asked of the clock since the previous pump.
    struct Requests {
        bool seek = false;
        int32_t row = 0;
        bool pauseChanged = false;
        bool paused = false;
    };

    EditorLink(SyncDevice* device, const std::string& host, int port);
    ~EditorLink();
    EditorLink(const EditorLink&) = delete;
    EditorLink& operator=(const EditorLink&) = delete;

    // now: a millisecond clock. row: the row the demo stands at; while
    // playing, a row other than the last one told is sent to the editor.
    Requests pump(uint32_t now, int32_t row, bool playing);
    // Tells the editor the row now (a seek of the demo's own).
    void tellRow(int32_t row);
    bool connected() const { return state == State::Connected; }

private:
    enum class State { Idle, Connecting, Greeting, Connected };
    struct Address {
        alignas(8) unsigned char storage[128];  // a sockaddr_storage
        int size;
    };
    // One look-up of the host, shared with the thread that makes it: the
    // link may be gone before a slow name service answers.
    struct Lookup;

    bool addressesKnown(uint32_t now);
    void startConnecting(uint32_t now);
    void drop(const char* why, uint32_t now);
    bool flush(uint32_t now);
    bool receive(uint32_t now);
    bool handleCommands(Requests& requests, uint32_t now);
    void applyCommand(unsigned char command, size_t payload, Requests& requests);
    void saveAll();
    void askForNewTracks();

    SyncDevice* device;
    std::string host;
    int port;
    State state = State::Idle;
    intptr_t socket = -1;   // the platform's socket handle, -1 for none
    uint32_t nextAttempt = 0;
    bool attempted = false;
    std::vector<Address> addresses;  // the host's, looked up once
    std::shared_ptr<Lookup> lookup;  // the one under way, if any
    uint32_t nextLookup = 0;
    bool lookupFailed = false;       // and said so
    int addressTurn = 0;             // which of them the next attempt takes
    uint32_t stateSince = 0;
    int announced = 0;        // tracks asked for on this connection
    int32_t lastRow = -1;     // the row last told to the editor
    std::string input, output;
};
