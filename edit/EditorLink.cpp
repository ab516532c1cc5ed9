#include "EditorLink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

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

#include "TrackSaver.h"

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
const uint32_t lookUpAgainMs = 30000;  // after a host name could not be looked up
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

// HOST:PORT as it is written on the command line, an IPv6 address in brackets.
std::string hostAndPort(const std::string& host, int port) {
    std::string name = host.find(':') == std::string::npos ? host : "[" + host + "]";
    return name + ":" + std::to_string(port);
}

}  // namespace

struct EditorLink::Lookup {
    std::mutex mutex;
    bool done = false;
    std::string failure;  // why the name gave no address; empty when it did
    std::vector<Address> found;

    // Runs on a thread of its own for a name: a name service that never
    // answers holds that thread and not the frames. numeric: the host is
    // taken as an address only, which asks no service and runs in place.
    void run(const std::string& host, int port, bool numeric = false) {
        addrinfo hints = {};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = numeric ? AI_NUMERICHOST : 0;
        addrinfo* list = nullptr;
        std::string service = std::to_string(port);
        int error = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
        // "localhost" is the loopback even where the system's host table
        // does not say so (a bare container has none).
        if (error != 0 && host == "localhost" && !numeric)
            error = getaddrinfo("127.0.0.1", service.c_str(), &hints, &list);
        std::vector<Address> addresses;
        for (addrinfo* a = error == 0 ? list : nullptr; a; a = a->ai_next) {
            if (a->ai_addrlen > sizeof(Address::storage))
                continue;
            Address address;
            std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
            address.size = int(a->ai_addrlen);
            addresses.push_back(address);
        }
        if (list)
            freeaddrinfo(list);
        std::string why;
        if (error != 0)
            why = gai_strerror(error);
        else if (addresses.empty())
            why = "the name has no address";
        std::lock_guard<std::mutex> hold(mutex);
        found = addresses;
        failure = why;
        done = true;
    }
};

EditorLink::EditorLink(SyncDevice* device, const std::string& host, int port)
    : device(device), host(host), port(port) {}

EditorLink::~EditorLink() {
    if (socket >= 0)
        closeSocket(socket);
}

// The name is looked up once, when first needed, and kept. A look-up that
// fails is said once and made again only every half minute: a name service
// may come back, and a failing one costs a thread, never a frame.
bool EditorLink::addressesKnown(uint32_t now) {
    if (!addresses.empty())
        return true;
    if (!lookup) {
        if (lookupFailed && int32_t(now - nextLookup) < 0)
            return false;
#ifdef _WIN32
        socketsReady();  // Winsock looks nothing up before it is started
#endif
        auto started = std::make_shared<Lookup>();
        // An address written as such needs no thread: nothing is asked.
        Lookup literal;
        literal.run(host, port, true);
        if (literal.failure.empty()) {
            addresses = literal.found;
            return true;
        }
        try {
            std::thread([started, name = host, number = port] { started->run(name, number); }).detach();
        } catch (const std::exception&) {
            started->failure = "no thread could be started for the look-up";
            started->done = true;
        }
        lookup = started;
        return false;
    }
    std::shared_ptr<Lookup> current = lookup;  // outlives the lock on its mutex
    std::lock_guard<std::mutex> hold(current->mutex);
    if (!current->done)
        return false;
    std::string failure = current->failure;
    addresses = current->found;
    lookup.reset();
    if (!failure.empty()) {
        if (!lookupFailed)
            std::fprintf(stderr, "velvoria: the editor at %s cannot be reached: %s\n",
                         hostAndPort(host, port).c_str(), failure.c_str());
        lookupFailed = true;
        nextLookup = now + lookUpAgainMs;
        return false;
    }
    if (lookupFailed)
        std::fprintf(stderr, "velvoria: %s is found now\n", host.c_str());
    lookupFailed = false;
    return true;
}

void EditorLink::startConnecting(uint32_t now) {
    attempted = true;
    nextAttempt = now + retryMs;
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

void EditorLink::applyCommand(unsigned char command, size_t p, Requests& requests) {
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
    }
}

void EditorLink::saveAll() {
    char why[2 * maxTrackPath + 64];
    int failed = saveTracks(device, why, sizeof why);
    if (failed && failed == device->trackCount)
        std::fprintf(stderr, "velvoria: %d of %d tracks could not be saved to %s, no file changed: %s\n", failed,
                     device->trackCount, device->basePath, why);
    else if (failed)
        std::fprintf(stderr, "velvoria: %d of %d tracks could not be saved to %s: %s\n", failed, device->trackCount,
                     device->basePath, why);
    else
        std::fprintf(stderr, "velvoria: saved %d tracks to %s\n", device->trackCount, device->basePath);
}

// A save writes the whole set of tracks: the saves asked for in a row are
// one save, made once the commands in hand are applied. A key change after
// a save waits for the next frame, so that each save holds exactly the keys
// it was asked for at: at most one save a frame, however many are sent.
bool EditorLink::handleCommands(Requests& requests, uint32_t now) {
    size_t at = 0;
    bool save = false;
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
        if (save && (command == SetKey || command == DeleteKey))
            break;
        if (command == SaveTracks)
            save = true;
        else
            applyCommand(command, at + 1, requests);
        at += 1 + size_t(size);
    }
    input.erase(0, at);
    if (save)
        saveAll();
    return true;
}

EditorLink::Requests EditorLink::pump(uint32_t now, int32_t row, bool playing) {
    Requests requests;
    if (state == State::Idle && addressesKnown(now) && (!attempted || int32_t(now - nextAttempt) >= 0))
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
            std::fprintf(stderr, "velvoria: editor connected (%s)\n", hostAndPort(host, port).c_str());
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
