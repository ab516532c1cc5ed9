#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "SyncTrack.h"
#include "edit/TrackSaver.h"

namespace {

struct Key {
    int32_t row;
    float value;
    int8_t type;
};

std::string trackBytes(int32_t count, const std::vector<Key>& keys) {
    std::string bytes(reinterpret_cast<const char*>(&count), 4);
    for (const Key& k : keys) {
        bytes.append(reinterpret_cast<const char*>(&k.row), 4);
        bytes.append(reinterpret_cast<const char*>(&k.value), 4);
        bytes.push_back(char(k.type));
    }
    return bytes;
}

// A directory of the test process's own: ctest may run the cases of this
// file side by side, each in a process of its own.
std::string processDirectory() {
    std::string pattern = ::testing::TempDir() + "velvoria-tracks-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return mkdtemp(name.data()) ? std::string(name.data()) + "/" : ::testing::TempDir();
}

class Tracks : public ::testing::Test {
protected:
    std::string dir = processDirectory();
    std::vector<std::string> made;

    std::string write(const std::string& name, const std::string& bytes) {
        std::string path = dir + name;
        std::ofstream(path, std::ios::binary) << bytes;
        made.push_back(path);
        return path;
    }
    void TearDown() override {
        for (const std::string& p : made)
            std::remove(p.c_str());
        rmdir(dir.c_str());  // only when it is one of ours and empty
    }
    // A track holding these keys, loaded from a file.
    SyncTrack load(const std::vector<Key>& keys) {
        SyncTrack track = {nullptr, nullptr, 0};
        EXPECT_EQ(loadTrack(&track, write("keys.track", trackBytes(int32_t(keys.size()), keys)).c_str()), 0);
        return track;
    }
};

}  // namespace

TEST_F(Tracks, ReadsTheTwentyTwoByteFile) {
    const unsigned char bytes[22] = {0x02, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0, 0x80, 0x3F, 0x01,
                                     0x14, 0, 0, 0, 0, 0, 0x40, 0x40, 0x00};
    SyncTrack track = {nullptr, nullptr, 0};
    ASSERT_EQ(loadTrack(&track, write("t.track", std::string((const char*)bytes, 22)).c_str()), 0);
    ASSERT_EQ(track.keyCount, 2);
    EXPECT_EQ(track.keys[0].row, 10);
    EXPECT_EQ(track.keys[0].value, 1.0f);
    EXPECT_EQ(track.keys[0].interpolation, Linear);
    EXPECT_EQ(track.keys[1].row, 20);
    EXPECT_EQ(track.keys[1].value, 3.0f);
    EXPECT_EQ(track.keys[1].interpolation, Step);

    EXPECT_EQ(valueAtRow(&track, 0), 1.0f);
    EXPECT_EQ(valueAtRow(&track, -5.5), 1.0f);
    EXPECT_EQ(valueAtRow(&track, 10), 1.0f);
    EXPECT_EQ(valueAtRow(&track, 15), 2.0f);
    EXPECT_EQ(valueAtRow(&track, 15.5), float(1.0 + 2.0 * 0.55));
    EXPECT_EQ(valueAtRow(&track, 20), 3.0f);
    EXPECT_EQ(valueAtRow(&track, 1000), 3.0f);
    std::free(track.keys);
}

TEST_F(Tracks, EachInterpolationShapesItsSegment) {
    SyncTrack smooth = load({{10, 1.0f, Smooth}, {20, 3.0f, Step}});
    EXPECT_EQ(valueAtRow(&smooth, 12.5), 1.3125f);
    EXPECT_EQ(valueAtRow(&smooth, 15), 2.0f);
    SyncTrack ramp = load({{10, 1.0f, Ramp}, {20, 3.0f, Step}});
    EXPECT_EQ(valueAtRow(&ramp, 15), 1.5f);
    SyncTrack step = load({{10, 1.0f, Step}, {20, 3.0f, Step}});
    EXPECT_EQ(valueAtRow(&step, 19.99), 1.0f);
    EXPECT_EQ(valueAtRow(&step, 20), 3.0f);
    // Single precision difference, double precision sum, rounded once.
    SyncTrack fine = load({{0, 0.1f, Linear}, {3, 0.7f, Step}});
    double difference = double(0.7f - 0.1f);
    EXPECT_EQ(valueAtRow(&fine, 1.0), float(0.1f + difference * (1.0 / 3.0)));
    for (SyncTrack* t : {&smooth, &ramp, &step, &fine})
        std::free(t->keys);
}

TEST_F(Tracks, UnknownInterpolationsYieldZeroOnTheirSegmentOnly) {
    SyncTrack track = load({{0, 5.0f, Step}, {10, 2.0f, 4}, {20, 7.0f, -1}, {30, 9.0f, Linear}});
    EXPECT_EQ(track.keys[2].interpolation, -1);  // 0xFF widened with its sign
    EXPECT_EQ(valueAtRow(&track, 5), 5.0f);
    EXPECT_EQ(valueAtRow(&track, 15), 0.0f);
    EXPECT_EQ(valueAtRow(&track, 25), 0.0f);
    EXPECT_EQ(valueAtRow(&track, 30), 9.0f);
    EXPECT_EQ(valueAtRow(&track, 300), 9.0f);
    std::free(track.keys);
}

TEST_F(Tracks, EmptySingleAndEqualRowTracks) {
    SyncTrack empty = {nullptr, nullptr, 0};
    EXPECT_EQ(valueAtRow(&empty, 12.0), 0.0f);
    EXPECT_EQ(findKeyAtOrBefore(&empty, 3), -1);
    EXPECT_EQ(loadTrack(&empty, (dir + "does-not-exist.track").c_str()), 1);
    EXPECT_EQ(empty.keyCount, 0);

    SyncTrack single = load({{50, 4.5f, Linear}});
    EXPECT_EQ(valueAtRow(&single, -100), 4.5f);
    EXPECT_EQ(valueAtRow(&single, 1e9), 4.5f);

    // Two keys on one row: the zero-length segment yields the first value.
    SyncTrack twins = load({{10, 1.0f, Linear}, {10, 2.0f, Linear}, {20, 4.0f, Step}});
    float v = valueAtRow(&twins, 10.5);
    EXPECT_FALSE(std::isnan(v));
    EXPECT_EQ(findKeyAtOrBefore(&twins, 9), -1);
    std::free(single.keys);
    std::free(twins.keys);
}

TEST_F(Tracks, BinarySearchFindsTheKeyAtOrBefore) {
    SyncTrack track = load({{0, 0, 0}, {4, 0, 0}, {8, 0, 0}, {100, 0, 0}, {101, 0, 0}});
    EXPECT_EQ(findKeyAtOrBefore(&track, -1), -1);
    EXPECT_EQ(findKeyAtOrBefore(&track, 0), 0);
    EXPECT_EQ(findKeyAtOrBefore(&track, 7), 1);
    EXPECT_EQ(findKeyAtOrBefore(&track, 8), 2);
    EXPECT_EQ(findKeyAtOrBefore(&track, 100), 3);
    EXPECT_EQ(findKeyAtOrBefore(&track, 5000), 4);
    std::free(track.keys);
}

TEST_F(Tracks, MalformedFilesKeepOnlyTheCompleteKeysRead) {
    std::vector<Key> three = {{0, 1, 1}, {10, 2, 1}, {20, 3, 0}};
    std::vector<Key> many;  // 45 KB, read in several pieces
    for (int k = 0; k < 5000; ++k)
        many.push_back({10 * k, float(k), Linear});
    struct Case {
        const char* what;
        std::string bytes;
        int keys;
    } cases[] = {
        {"empty file", "", 0},
        {"short count", std::string("\x02\x00", 2), 0},
        {"negative count", trackBytes(-3, three), 0},
        {"count larger than the keys", trackBytes(7, three), 3},
        {"huge count", trackBytes(INT32_MAX, three), 3},
        {"truncated last key", trackBytes(3, three).substr(0, 4 + 9 * 2 + 5), 2},
        {"smaller count than keys", trackBytes(1, three), 1},
        {"huge count, many keys", trackBytes(INT32_MAX, many), 5000},
        {"smaller count than many keys", trackBytes(4000, many), 4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SyncTrack track = {nullptr, nullptr, 0};
        ASSERT_EQ(loadTrack(&track, write("bad.track", c.bytes).c_str()), 0);
        EXPECT_EQ(track.keyCount, c.keys);
        if (track.keyCount > 3) {
            EXPECT_EQ(valueAtRow(&track, 10 * (track.keyCount - 1)), float(track.keyCount - 1));
        }
        for (double row : {-1.0, 0.0, 5.0, 15.0, 25.0, 1e12, -1e12, double(NAN)})
            (void)valueAtRow(&track, row);
        std::free(track.keys);

        // The same bytes handed over in memory.
        SyncTrack fromBytes = {nullptr, nullptr, 0};
        loadTrackBytes(&fromBytes, reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(fromBytes.keyCount, c.keys);
        std::free(fromBytes.keys);
    }
}

TEST_F(Tracks, OnlyRegularFilesAndDirectoriesAreOpened) {
    SyncTrack track = load({{0, 5.0f, Step}});

    // A FIFO would block the open until a writer came: it is refused at once
    // like a missing file, and the track stays as it was.
    std::string fifo = dir + "fifo.track";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    made.push_back(fifo);
    EXPECT_EQ(loadTrack(&track, fifo.c_str()), 1);
    EXPECT_EQ(track.keyCount, 1);

    // A directory opens and reads nothing: an empty track.
    EXPECT_EQ(loadTrack(&track, dir.c_str()), 0);
    EXPECT_EQ(track.keyCount, 0);
    EXPECT_EQ(valueAtRow(&track, 0), 0.0f);
}

TEST_F(Tracks, RegistryLoadsEachNameOnceByItsExactSpelling) {
    std::string base = dir + "reg_";
    SyncDevice* device = createDevice(base.c_str());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(findTrack(device, "Bloom Wet"), -1);

    write("reg__Bloom Wet.track", trackBytes(1, {{0, 0.25f, Step}}));
    write("reg__bloom wet.track", trackBytes(1, {{0, 0.75f, Step}}));
    SyncTrack* wet = getTrack(device, "Bloom Wet");
    EXPECT_EQ(valueAtRow(wet, 3), 0.25f);
    EXPECT_EQ(valueAtRow(getTrack(device, "bloom wet"), 3), 0.75f);
    EXPECT_EQ(findTrack(device, "Bloom Wet"), 0);
    EXPECT_EQ(findTrack(device, "bloom wet"), 1);

    // A missing file: registered, empty, never tried again.
    SyncTrack* late = getTrack(device, "Late");
    EXPECT_EQ(late->keyCount, 0);
    write("reg__Late.track", trackBytes(1, {{0, 9.0f, Step}}));
    EXPECT_EQ(getTrack(device, "Late"), late);
    EXPECT_EQ(valueAtRow(late, 0), 0.0f);
    EXPECT_EQ(device->trackCount, 3);

    // A name whose path cannot fit stays empty; nothing overruns.
    std::string longName(300, 'n');
    SyncTrack* longTrack = getTrack(device, longName.c_str());
    EXPECT_EQ(longTrack->keyCount, 0);
    EXPECT_STREQ(longTrack->name, longName.c_str());
    destroyDevice(device);
}

TEST_F(Tracks, EditedKeysStayOrderedAndSaveToExactlyWhatIsRead) {
    SyncTrack track = {nullptr, nullptr, 0};
    setKey(&track, {20, 2.0f, Linear});
    setKey(&track, {-5, -0.0f, Ramp});
    setKey(&track, {40, 4.0f, Step});
    setKey(&track, {30, 3.0f, Smooth});
    setKey(&track, {20, 0.1f, Smooth});  // replaces the key on its row
    deleteKey(&track, 35);                // no key there: nothing changes
    deleteKey(&track, 40);
    ASSERT_EQ(track.keyCount, 3);
    const int32_t rows[] = {-5, 20, 30};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(track.keys[i].row, rows[i]);
    EXPECT_EQ(track.keys[1].value, 0.1f);
    EXPECT_EQ(track.keys[1].interpolation, Smooth);
    EXPECT_EQ(valueAtRow(&track, 100), 3.0f);

    // Saved and read back bit for bit, with no temporary file left over.
    std::string path = dir + "_Saved Track.track";
    made.push_back(path);
    ASSERT_EQ(saveTrack(&track, path.c_str()), 0);
    SyncTrack back = {nullptr, nullptr, 0};
    ASSERT_EQ(loadTrack(&back, path.c_str()), 0);
    ASSERT_EQ(back.keyCount, track.keyCount);
    EXPECT_EQ(std::memcmp(back.keys, track.keys, sizeof(TrackKey) * size_t(track.keyCount)), 0);
    EXPECT_TRUE(std::signbit(back.keys[0].value));
    std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
    EXPECT_EQ(std::fopen(tmp.c_str(), "rb"), nullptr);

    // A place that cannot be written: a failure, the old file untouched.
    EXPECT_EQ(saveTrack(&track, (dir + "no-such-dir/_x.track").c_str()), 1);
    clearKeys(&track);
    EXPECT_EQ(track.keyCount, 0);
    EXPECT_EQ(saveTrack(&track, path.c_str()), 0);
    loadTrack(&back, path.c_str());
    EXPECT_EQ(back.keyCount, 0);
    std::free(back.keys);
}

TEST_F(Tracks, ASaveIsOneSetAndItsLeftoversAreRemovedOnlyWhenStale) {
    std::string base = dir + "set_";
    std::string old = trackBytes(1, {{0, 1.0f, 0}});
    std::string a = write("set__A.track", old), b = write("set__B.track", old);
    std::string c = dir + "set__C.track";
    ASSERT_EQ(mkdir(c.c_str(), 0755), 0);  // a directory where a track file belongs
    SyncDevice* device = createDevice(base.c_str());
    for (const char* name : {"A", "B", "C"})
        setKey(getTrack(device, name), TrackKey{5, 2.0f, 1});
    auto bytesOf = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    std::string pid = std::to_string(getpid());

    // One track that cannot be written: no file changes, nothing is left,
    // and the reason names the path.
    char why[600];
    EXPECT_EQ(saveTracks(device, why, sizeof why), 3);
    EXPECT_EQ(std::string(why), c + ": is a directory");
    EXPECT_EQ(bytesOf(a), old);
    EXPECT_EQ(bytesOf(b), old);
    for (const std::string& path : {a, b, c})
        EXPECT_NE(access((path + "." + pid + ".tmp").c_str(), F_OK), 0) << path;

    rmdir(c.c_str());
    made.push_back(c);
    EXPECT_EQ(saveTracks(device, why, sizeof why), 0);
    std::string both = trackBytes(2, {{0, 1.0f, 0}, {5, 2.0f, 1}});
    EXPECT_EQ(bytesOf(a), both);
    EXPECT_EQ(bytesOf(b), both);
    EXPECT_EQ(bytesOf(c), trackBytes(1, {{5, 2.0f, 1}}));
    EXPECT_NE(access((base + "_set." + pid + ".whole").c_str(), F_OK), 0);  // the set's mark goes with it

    // Leftovers of a killed save go; those of a running process, files of
    // other names and other bases stay.
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    std::string stale = write("set__A.track." + std::to_string(gone) + ".tmp", "x");
    std::vector<std::string> kept = {write("set__B.track." + pid + ".tmp", "x"), write("set__B.track.1x.tmp", "x"),
                                     write("set__B.track.tmp", "x"), write("other__A.track.1.tmp", "x")};
    EXPECT_EQ(removeStaleTrackTemporaries(base.c_str()), 1);
    EXPECT_NE(access(stale.c_str(), F_OK), 0);
    for (const std::string& path : kept)
        EXPECT_EQ(access(path.c_str(), F_OK), 0) << path;

    // A killed save whose set was whole (its mark stands) is finished by
    // the next one: its temporaries are renamed over the files, none lost.
    std::string gonePid = std::to_string(gone);
    write("set__A.track." + gonePid + ".tmp", "new A");
    write("set__C.track." + gonePid + ".tmp", "new C");
    std::string mark = write("set__set." + gonePid + ".whole", "");
    int finished = 0;
    EXPECT_EQ(removeStaleTrackTemporaries(base.c_str(), &finished), 0);
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(bytesOf(a), "new A");
    EXPECT_EQ(bytesOf(c), "new C");
    EXPECT_EQ(bytesOf(b), both);
    EXPECT_NE(access(mark.c_str(), F_OK), 0);
    destroyDevice(device);
}
