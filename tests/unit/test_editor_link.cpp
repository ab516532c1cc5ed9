// The editor link against a fake Rocket editor made here: a listening socket
// on the loopback that speaks the editor's side of the protocol. The demo
// side is the real link, the real clock of the editing mode and Sync, with
// a fake timer and no music.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "Audio.h"
#include "edit/EditClock.h"
#include "edit/EditorLink.h"
#include "Options.h"
#include "Sync.h"

namespace {

uint32_t fakeNow = 0;
uint32_t fakeTimer() { return fakeNow; }

const double rowRate = 14.666666666666666;

class NoMusic : public Audio {
public:
    void update() override {}
    void pause() override {}
    void resume() override {}
    void stop() override {}
    bool hasChannel() override { return false; }
    bool isPlaying() override { return false; }
    double getPosition() override { return 0.0; }
    void setPosition(double) override {}
};

std::string bigEndian(uint32_t v) {
    char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return std::string(b, 4);
}

std::string setKeyCommand(uint32_t track, uint32_t row, float value, unsigned char type) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return std::string(1, '\0') + bigEndian(track) + bigEndian(row) + bigEndian(bits) + std::string(1, char(type));
}
std::string deleteKeyCommand(uint32_t track, uint32_t row) { return "\x01" + bigEndian(track) + bigEndian(row); }
std::string setRowCommand(uint32_t row) { return "\x03" + bigEndian(row); }
std::string getTrackCommand(const std::string& name) { return "\x02" + bigEndian(uint32_t(name.size())) + name; }

// The editor's side: listens on a loopback port, accepts the demo, reads
// and writes with short timeouts so that a broken link fails the test
// instead of hanging it.
class FakeEditor {
public:
    explicit FakeEditor(int port = 0) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener, (sockaddr*)&address, sizeof address), 0);
        EXPECT_EQ(listen(listener, 4), 0);
        socklen_t size = sizeof address;
        getsockname(listener, (sockaddr*)&address, &size);
        this->port = ntohs(address.sin_port);
    }
    ~FakeEditor() {
        hangUp();
        close(listener);
    }
    bool pending(int ms) {
        pollfd p = {listener, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    // Accepts while the link is pumped; the link connects without blocking,
    // so the test pumps it on this thread between tries.
    template <typename Pump>
    bool accept(Pump pump) {
        for (int i = 0; i < 200 && !pending(5); ++i)
            pump();
        if (!pending(0))
            return false;
        peer = ::accept(listener, nullptr, nullptr);
        // Each command goes out at once, as the real editor's do.
        int on = 1;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return peer >= 0;
    }
    void send(const std::string& bytes) { ::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Exactly n bytes, pumping the link while they are on their way.
    template <typename Pump>
    std::string read(size_t n, Pump pump) {
        std::string got;
        for (int i = 0; i < 400 && got.size() < n; ++i) {
            pump();
            pollfd p = {peer, POLLIN, 0};
            if (poll(&p, 1, 5) > 0) {
                char buffer[4096];
                ssize_t r = recv(peer, buffer, std::min(sizeof buffer, n - got.size()), 0);
                if (r <= 0)
                    break;
                got.append(buffer, size_t(r));
            }
        }
        return got;
    }
    // Whatever arrives within a few pumps.
    template <typename Pump>
    std::string drain(Pump pump) {
        std::string got;
        for (int i = 0; i < 10; ++i) {
            pump();
            pollfd p = {peer, POLLIN, 0};
            while (poll(&p, 1, 2) > 0) {
                char buffer[4096];
                ssize_t r = recv(peer, buffer, sizeof buffer, 0);
                if (r <= 0)
                    return got;
                got.append(buffer, size_t(r));
            }
        }
        return got;
    }
    bool closedByDemo() {
        pollfd p = {peer, POLLIN, 0};
        char c;
        return poll(&p, 1, 200) > 0 && recv(peer, &c, 1, MSG_PEEK) == 0;
    }
    void hangUp() {
        if (peer >= 0)
            close(peer);
        peer = -1;
    }

    int listener = -1, peer = -1;
    int port = 0;
};

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeTrack(const std::string& path, int32_t row, float value) {
    std::ofstream out(path, std::ios::binary);
    int32_t count = 1;
    char type = 0;
    out.write((char*)&count, 4).write((char*)&row, 4).write((char*)&value, 4).write(&type, 1);
}

class Link : public ::testing::Test {
protected:
    std::string base = ::testing::TempDir() + "link_";
    void SetUp() override {
        fakeNow = 10000;
        writeTrack(base + "_Camera Bitch.track", 0, 7.0f);
        writeTrack(base + "_Bloom Wet.track", 0, 0.5f);
    }
    void TearDown() override {
        for (const char* name : {"_Camera Bitch.track", "_Bloom Wet.track", "_Flash.track"})
            std::remove((base + name).c_str());
    }
};

// The demo side: Sync over the editing clock with no music, tracks read
// from the test's directory.
struct Demo {
    explicit Demo(const std::string& base) : sync(fakeTimer, base.c_str()), clock(music, fakeTimer) {
        sync.setAudio(&clock);
        sync.setRowRate(rowRate);
    }
    float at(const char* name, int32_t row) {
        clock.setRow(row, rowRate);
        return sync.getValue(name);
    }
    int32_t row() { return int32_t(clock.getPosition() * rowRate); }
    Sync sync;
    NoMusic music;
    EditClock clock;
};

}  // namespace

TEST_F(Link, SpeaksTheEditorsProtocol) {
    Demo demo(base);
    EXPECT_EQ(demo.at("Camera Bitch", 0), 7.0f);  // from the file, before any editor
    demo.sync.getValue("Bloom Wet");
    FakeEditor editor;
    EditorLink link(demo.sync.getDevice(), "127.0.0.1", editor.port);
    EditorLink::Requests last;
    bool playing = false;
    auto pump = [&] {
        EditorLink::Requests r = link.pump(fakeNow, demo.row(), playing);
        if (r.seek || r.pauseChanged)
            last = r;
        if (r.seek)
            demo.clock.setRow(r.row, rowRate);
        if (r.pauseChanged)
            r.paused ? demo.clock.pause() : demo.clock.resume();
    };

    // The greeting, then every track in the order of first use, by name.
    ASSERT_TRUE(editor.accept(pump));
    EXPECT_EQ(editor.read(19, pump), "hello, synctracker!");
    EXPECT_FALSE(link.connected());
    editor.send("hello, demo!");
    EXPECT_EQ(editor.read(2 * 5 + 12 + 9, pump), getTrackCommand("Camera Bitch") + getTrackCommand("Bloom Wet"));
    EXPECT_TRUE(link.connected());
    // The editor's keys replace the file's.
    EXPECT_EQ(demo.sync.getDevice()->tracks[0]->keyCount, 0);
    // A track first used while connected is asked for at the next pump.
    demo.sync.getValue("Flash");
    EXPECT_EQ(editor.read(10, pump), getTrackCommand("Flash"));

    // Keys change what the scene reads at once; out-of-range tracks and
    // interpolation types are ignored.
    editor.send(setKeyCommand(0, 10, 2.5f, 1) + setKeyCommand(0, 20, 4.5f, 0) + setKeyCommand(1, 5, 0.25f, 0) +
                setKeyCommand(3, 5, 9.0f, 0) + setKeyCommand(0, 12, 9.0f, 4) + setKeyCommand(0xFFFFFFFFu, 1, 9.0f, 0));
    editor.drain(pump);
    EXPECT_NEAR(demo.at("Camera Bitch", 15), 3.5f, 0.01);
    EXPECT_NEAR(demo.at("Camera Bitch", 12), 2.9f, 0.01);
    EXPECT_EQ(demo.at("Bloom Wet", 15), 0.25f);
    EXPECT_EQ(demo.sync.getDevice()->trackCount, 3);
    editor.send(deleteKeyCommand(0, 20) + deleteKeyCommand(9, 10));
    editor.drain(pump);
    EXPECT_EQ(demo.at("Camera Bitch", 30), 2.5f);
    EXPECT_EQ(demo.sync.getDevice()->tracks[0]->keyCount, 1);

    // SET_ROW moves the clock, PAUSE holds it and lets it go.
    editor.send(setRowCommand(100) + std::string("\x04\x01", 2));
    editor.drain(pump);
    EXPECT_TRUE(last.seek && last.pauseChanged && last.paused);
    EXPECT_EQ(demo.row(), 100);
    fakeNow += 5000;
    EXPECT_EQ(demo.row(), 100);
    editor.send(std::string("\x04\x00", 2));
    editor.drain(pump);
    EXPECT_TRUE(demo.clock.isPlaying());
    fakeNow += 1000;
    EXPECT_EQ(demo.row(), 114);

    // While playing, the demo tells its row when it changes, and only then;
    // paused, it stays quiet.
    playing = true;
    EXPECT_EQ(editor.read(5, pump), setRowCommand(114));
    EXPECT_EQ(editor.drain(pump), "");
    fakeNow += 1000;
    EXPECT_EQ(editor.read(5, pump), setRowCommand(129));
    playing = false;
    fakeNow += 1000;
    EXPECT_EQ(editor.drain(pump), "");

    // SAVE_TRACKS writes every track as the reader reads it.
    editor.send("\x05");
    editor.drain(pump);
    SyncTrack saved = {nullptr, nullptr, 0};
    ASSERT_EQ(loadTrack(&saved, (base + "_Camera Bitch.track").c_str()), 0);
    ASSERT_EQ(saved.keyCount, 1);
    EXPECT_EQ(saved.keys[0].row, 10);
    EXPECT_EQ(saved.keys[0].value, 2.5f);
    EXPECT_EQ(saved.keys[0].interpolation, 1);
    std::free(saved.keys);
    EXPECT_EQ(readFileBytes(base + "_Flash.track"), std::string(4, '\0'));

    // Saves in a row are one save, made once the keys before them are in; a
    // key after them waits for the next pump, and its own save.
    std::string path = base + "_Camera Bitch.track", before = readFileBytes(path);
    SyncTrack* camera = demo.sync.getDevice()->tracks[0];
    editor.send(setKeyCommand(0, 30, 1.0f, 0) + "\x05\x05\x05" + setKeyCommand(0, 40, 1.0f, 0) + "\x05");
    for (int i = 0; i < 200 && readFileBytes(path) == before; ++i) {
        pump();
        usleep(5000);
    }
    EXPECT_EQ(camera->keyCount, 2);  // the save of keys 10 and 30 alone in its pump
    EXPECT_EQ(readFileBytes(path).size(), 4u + 2 * 9);
    editor.drain(pump);
    EXPECT_EQ(camera->keyCount, 3);
    EXPECT_EQ(readFileBytes(path).size(), 4u + 3 * 9);
}

TEST_F(Link, SurvivesAnAbsentAKilledAndAGarbledEditor) {
    Demo demo(base);
    demo.sync.getValue("Camera Bitch");
    int port;
    {
        FakeEditor probe;  // a free port, then nobody listening on it
        port = probe.port;
    }
    EditorLink link(demo.sync.getDevice(), "127.0.0.1", port);
    auto pump = [&] { link.pump(fakeNow, demo.row(), false); };

    // Nobody there: the pump returns at once and the files' keys play.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        pump();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(demo.at("Camera Bitch", 0), 7.0f);

    // An editor that starts later is found at the next attempt, about a
    // second on, not before.
    FakeEditor editor(port);
    fakeNow += 500;
    for (int i = 0; i < 20; ++i)
        pump();
    EXPECT_FALSE(editor.pending(20));
    fakeNow += 600;
    ASSERT_TRUE(editor.accept(pump));
    editor.read(19, pump);
    editor.send("hello, demo!");
    editor.read(17, pump);
    // A command split across frames is applied once it is whole.
    std::string key = setKeyCommand(0, 0, 3.0f, 0);
    editor.send(key.substr(0, 6));
    editor.drain(pump);
    EXPECT_EQ(demo.at("Camera Bitch", 0), 0.0f);
    editor.send(key.substr(6));
    editor.drain(pump);
    EXPECT_EQ(demo.at("Camera Bitch", 0), 3.0f);

    // Killed mid-session: the keys stay, the demo tries again.
    editor.hangUp();
    for (int i = 0; i < 5; ++i)
        pump();
    EXPECT_FALSE(link.connected());
    EXPECT_EQ(demo.at("Camera Bitch", 0), 3.0f);
    fakeNow += 1100;
    ASSERT_TRUE(editor.accept(pump));
    editor.read(19, pump);
    editor.send("hello, demo!");
    editor.read(17, pump);
    editor.send(setKeyCommand(0, 0, 5.0f, 1));
    editor.drain(pump);
    EXPECT_EQ(demo.at("Camera Bitch", 0), 5.0f);

    // Garbage: what came before it is applied, then the link is dropped
    // with one line, and nothing is corrupted.
    testing::internal::CaptureStderr();
    editor.send(setKeyCommand(0, 8, 6.0f, 1) + "\x7fgarbage" + setKeyCommand(0, 0, 99.0f, 0));
    for (int i = 0; i < 20 && link.connected(); ++i)
        editor.drain(pump);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(link.connected());
    EXPECT_TRUE(editor.closedByDemo());
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("unknown command 127"), std::string::npos) << said;
    EXPECT_EQ(demo.at("Camera Bitch", 0), 5.0f);
    EXPECT_NEAR(demo.at("Camera Bitch", 4), 5.5f, 0.01);
    editor.hangUp();

    // Something that is not an editor: dropped at the greeting.
    fakeNow += 1100;
    ASSERT_TRUE(editor.accept(pump));
    editor.read(19, pump);
    testing::internal::CaptureStderr();
    editor.send("HTTP/1.1 400");
    editor.drain(pump);
    said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(link.connected());
    EXPECT_NE(said.find("does not greet"), std::string::npos) << said;
    EXPECT_EQ(demo.at("Camera Bitch", 0), 5.0f);
}

TEST(EditOption, HostAndPortWithDefaults) {
    std::string host;
    int port = 0;
    EXPECT_TRUE(parseEditorAddress("", host, port));
    EXPECT_EQ(host + ":" + std::to_string(port), "localhost:1338");
    EXPECT_TRUE(parseEditorAddress("studio", host, port));
    EXPECT_EQ(host + ":" + std::to_string(port), "studio:1338");
    EXPECT_TRUE(parseEditorAddress("10.0.0.2:4000", host, port));
    EXPECT_EQ(host + ":" + std::to_string(port), "10.0.0.2:4000");
    EXPECT_TRUE(parseEditorAddress(":1400", host, port));
    EXPECT_EQ(host + ":" + std::to_string(port), "localhost:1400");
    // IPv6: in brackets with a port, bare without one.
    EXPECT_TRUE(parseEditorAddress("[::1]:1400", host, port));
    EXPECT_EQ(host + " " + std::to_string(port), "::1 1400");
    EXPECT_TRUE(parseEditorAddress("[fe80::1%eth0]", host, port));
    EXPECT_EQ(host + " " + std::to_string(port), "fe80::1%eth0 1338");
    EXPECT_TRUE(parseEditorAddress("::1", host, port));
    EXPECT_EQ(host + " " + std::to_string(port), "::1 1338");
    for (const char* bad : {"h:", "h:0", ":0", "h:65536", "h:99999", "h:12x", "h:-1", "[::1", "[]:1338", "[::1]1338",
                            "[::1]:", "a b", "box/1", "h\n:1338"})
        EXPECT_FALSE(parseEditorAddress(bad, host, port)) << bad;
    EXPECT_TRUE(parseEditorAddress(std::string(253, 'a'), host, port));
    EXPECT_FALSE(parseEditorAddress(std::string(10000, 'a') + ":1338", host, port));
}

TEST(EditOption, TheCommandLineAsksForTheEditingMode) {
    auto parse = [](std::initializer_list<const char*> words) {
        Quib::List<Quib::String> arguments;
        for (const char* w : words)
            arguments.add(Quib::String(w));
        return parseOptions(arguments);
    };
    Options plain = parse({"ignored"});
    EXPECT_FALSE(plain.edit);
    Options bare = parse({"--edit", "--mute"});
    EXPECT_TRUE(bare.edit && bare.mute);
    EXPECT_EQ(bare.editorHost + ":" + std::to_string(bare.editorPort), "localhost:1338");
    Options addressed = parse({"--edit", "box:2000"});
    EXPECT_EQ(addressed.editorHost + ":" + std::to_string(addressed.editorPort), "box:2000");
    EXPECT_NE(parse({"--edit", "box:x"}).error.find("--edit"), std::string::npos);
    EXPECT_NE(std::string(usageText).find("--edit [HOST[:PORT]]"), std::string::npos);
}
