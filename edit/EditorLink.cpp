#include "EditorLink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// The few socket calls that differ between Winsock and POSIX.
#ifdef _WIN32
bool socketsReady() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

intptr_t openSocket(int family) {
    if (!socketsReady())
        return -1;
    SOCKET opened = ::socket(family, SOCK_STREAM, 0);
    if (opened == INVALID_SOCKET)
        return -1;
    u_long nonBlocking = 1;
    ioctlsocket(opened, FIONBIO, &nonBlocking);
    return intptr_t(opened);
}

void closeSocket(intptr_t handle) { closesocket(SOCKET(handle)); }

// The call failed only because it would have had to wait.
bool wouldWait() {
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS || error == WSAEINTR;
}

bool writable(intptr_t handle) {
    WSAPOLLFD watch = {SOCKET(handle), POLLOUT, 0};
    return WSAPoll(&watch, 1, 0) > 0;
}

const int sendFlags = 0;
#else
intptr_t openSocket(int family) { return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

void closeSocket(intptr_t handle) { close(int(handle)); }

bool wouldWait() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == EINPROGRESS; }

bool writable(intptr_t handle) {
    pollfd watch = {int(handle), POLLOUT, 0};
    return poll(&watch, 1, 0) > 0;
}

const int sendFlags = MSG_NOSIGNAL;
#endif

const char clientGreeting[] = "hello, synctracker!";
const char serverGreeting[] = "hello, demo!";
const size_t serverGreetingSize = sizeof serverGreeting - 1;

enum Command : unsigned char { SetKey = 0, DeleteKey = 1, GetTrack = 2, SetRow = 3, Pause = 4, SaveTracks = 5 };

const uint32_t retryMs = 1000;    // between attempts while no editor answers
const uint32_t answerMs = 2000;   // for a connection or a greeting to complete
const size_t maxBuffered = 1 << 20;  // an editor that stops reading is dropped

uint32_t readBigEndian(const std::string& bytes, size_t at) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

void putBigEndian(std::string& bytes, uint32_t value) {
    bytes.push_back(char(value >> 24));
    bytes.push_back(char(value >> 16));
    bytes.push_back(char(value >> 8));
    bytes.push_back(char(value));
}

// Bytes of a command after its code; -1 for a code the protocol does not have.
int payloadSize(unsigned char command) {
    switch (command) {
    case SetKey: return 13;
    case DeleteKey: return 8;
    case SetRow: return 4;
    case Pause: return 1;
    case SaveTracks: return 0;
    default: return -1;
    }
}

bool elapsed(uint32_t now, uint32_t since, uint32_t span) { return now - since >= span; }

}  // namespace

EditorLink::EditorLink(SyncDevice* device, const std::string& host, int port)
    : device(device), host(host), port(port) {}

EditorLink::~EditorLink() {
    if (socket >= 0)
        closeSocket(socket);
}

void EditorLink::startConnecting(uint32_t now) {
    attempted = true;
    nextAttempt = now + retryMs;
    // The name is looked up once, when first needed, and kept: a slow name
    // service can then hold one frame at most, not one a second.
    if (addresses.empty()) {
        addrinfo hints = {};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        std::string service = std::to_string(port);
        // "localhost" is the loopback even where the system's host table
        // does not say so (a bare container has none).
        if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 &&
            (host != "localhost" || getaddrinfo("127.0.0.1", service.c_str(), &hints, &found) != 0))
            return;
        for (addrinfo* a = found; a; a = a->ai_next) {
            Address address;
            std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
            address.size = int(a->ai_addrlen);
            addresses.push_back(address);
        }
        freeaddrinfo(found);
        if (addresses.empty())
            return;
    }
    // One address per attempt, the next one at once when this one fails: an
    // editor listening on IPv4 only is found when the name gives IPv6 first.
    const Address& address = addresses[size_t(addressTurn) % addresses.size()];
    addressTurn = int((size_t(addressTurn) + 1) % addresses.size());
    if (addressTurn != 0)
        nextAttempt = now;

    const sockaddr* target = reinterpret_cast<const sockaddr*>(&address.storage);
    socket = openSocket(target->sa_family);
    if (socket < 0)
        return;
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    if (connect(socket, target, address.size) == 0 || wouldWait()) {
        state = State::Connecting;
        stateSince = now;
    } else {
        closeSocket(socket);
        socket = -1;
    }
}

void EditorLink::drop(const char* why, uint32_t now) {
    if (why)
        std::fprintf(stderr, "velvoria: editor link dropped: %s\n", why);
    if (socket >= 0)
        closeSocket(socket);
    socket = -1;
    state = State::Idle;
    input.clear();
    output.clear();
    nextAttempt = now + retryMs;
}

bool EditorLink::flush(uint32_t now) {
    while (!output.empty()) {
        long sent = send(socket, output.data(), int(std::min(output.size(), maxBuffered)), sendFlags);
        if (sent > 0) {
            output.erase(0, size_t(sent));
            continue;
        }
        if (sent < 0 && wouldWait())
            break;
        drop("the editor went away", now);
        return false;
    }
    if (output.size() > maxBuffered) {
        drop("the editor does not read what the demo sends", now);
        return false;
    }
    return true;
}

bool EditorLink::receive(uint32_t now) {
    char buffer[4096];
    // Bounded per frame: an editor that floods the link cannot hold a frame.
    while (input.size() < maxBuffered) {
        long got = recv(socket, buffer, sizeof buffer, 0);
        if (got > 0) {
            input.append(buffer, size_t(got));
            continue;
        }
        if (got < 0 && wouldWait())
            return true;
        drop(got == 0 ? "the editor closed the connection" : "the editor went away", now);
        return false;
    }
    return true;
}

void EditorLink::askForNewTracks() {
    // The editor's keys replace ours, as the protocol intends; a track first
    // read from its file while connected is emptied too.
    for (; announced < device->trackCount; ++announced) {
        SyncTrack* track = device->tracks[announced];
        clearKeys(track);
        uint32_t length = uint32_t(std::strlen(track->name));
        output.push_back(char(GetTrack));
        putBigEndian(output, length);
        output.append(track->name, length);
    }
}

bool EditorLink::handleCommands(Requests& requests, uint32_t now) {
    size_t at = 0;
    while (at < input.size()) {
        unsigned char command = static_cast<unsigned char>(input[at]);
        int size = payloadSize(command);
        if (size < 0) {
            char why[64];
            std::snprintf(why, sizeof why, "unknown command %u from the editor", unsigned(command));
            drop(why, now);
            return false;
        }
        if (input.size() - at - 1 < size_t(size))
            break;  // the rest comes with a later frame
        size_t p = at + 1;
        at = p + size_t(size);
        switch (command) {
        case SetKey: {
            uint32_t index = readBigEndian(input, p);
            TrackKey key;
            key.row = int32_t(readBigEndian(input, p + 4));
            uint32_t bits = readBigEndian(input, p + 8);
            std::memcpy(&key.value, &bits, 4);
            unsigned char type = static_cast<unsigned char>(input[p + 12]);
            key.interpolation = type;
            // Only tracks the editor was told about, only the four types.
            if (index < uint32_t(announced) && type <= Ramp)
                setKey(device->tracks[index], key);
            break;
        }
        case DeleteKey: {
            uint32_t index = readBigEndian(input, p);
            if (index < uint32_t(announced))
                deleteKey(device->tracks[index], int32_t(readBigEndian(input, p + 4)));
            break;
        }
        case SetRow:
            requests.seek = true;
            requests.row = int32_t(readBigEndian(input, p));
            lastRow = requests.row;  // the editor knows its own row
            break;
        case Pause:
            requests.pauseChanged = true;
            requests.paused = input[p] != 0;
            break;
        case SaveTracks: {
            int failed = saveTracks(device);
            if (failed)
                std::fprintf(stderr, "velvoria: %d of %d tracks could not be saved to %s\n", failed,
                             device->trackCount, device->basePath);
            else
                std::fprintf(stderr, "velvoria: saved %d tracks to %s\n", device->trackCount, device->basePath);
            break;
        }
        }
    }
    input.erase(0, at);
    return true;
}

EditorLink::Requests EditorLink::pump(uint32_t now, int32_t row, bool playing) {
    Requests requests;
    if (state == State::Idle && (!attempted || int32_t(now - nextAttempt) >= 0))
        startConnecting(now);

    if (state == State::Connecting) {
        if (writable(socket)) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
            if (error != 0) {
                uint32_t retry = nextAttempt;
                drop(nullptr, now);
                nextAttempt = retry;  // no editor there: keep the attempt's schedule
                return requests;
            }
            state = State::Greeting;
            stateSince = now;
            output.assign(clientGreeting, sizeof clientGreeting - 1);
        } else if (elapsed(now, stateSince, answerMs)) {
            drop(nullptr, now);
            return requests;
        }
    }

    if (state == State::Greeting) {
        if (!flush(now) || !receive(now))
            return requests;
        if (input.size() >= serverGreetingSize) {
            if (input.compare(0, serverGreetingSize, serverGreeting) != 0) {
                drop("the other end does not greet as a Rocket editor", now);
                return requests;
            }
            input.erase(0, serverGreetingSize);
            state = State::Connected;
            announced = 0;
            lastRow = -1;
            std::fprintf(stderr, "velvoria: editor connected (%s:%d)\n", host.c_str(), port);
        } else if (elapsed(now, stateSince, answerMs)) {
            drop("the editor did not greet in time", now);
            return requests;
        }
    }

    if (state == State::Connected) {
        askForNewTracks();
        if (!receive(now) || !handleCommands(requests, now))
            return requests;
        if (playing && row != lastRow && !requests.seek)
            tellRow(row);
        flush(now);
    }
    return requests;
}

void EditorLink::tellRow(int32_t row) {
    if (state != State::Connected)
        return;
    output.push_back(char(SetRow));
    putBigEndian(output, uint32_t(row));
    lastRow = row;
}

bool parseEditorAddress(const std::string& text, std::string& host, int& port) {
    host = "localhost";
    port = EditorLink::defaultPort;
    size_t colon = text.rfind(':');
    std::string name = colon == std::string::npos ? text : text.substr(0, colon);
    if (!name.empty())
        host = name;
    if (colon == std::string::npos)
        return true;
    std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(digits.c_str());
    return port >= 1 && port <= 65535;
}
