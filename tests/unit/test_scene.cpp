#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <glm/gtc/matrix_transform.hpp>

#include "FixedAudio.h"
#include "Sync.h"
#include "platform/GlibcRandom.h"
#include "scene/Camera.h"
#include "scene/SphereField.h"

using Quib::List;

namespace {

uint32_t noTime() { return 0; }

// A sphere field with its own clock, whose tracks hold one constant value each.
class Field : public ::testing::Test {
protected:
    std::string base = ::testing::TempDir() + "field_";
    FixedAudio player;
    List<Sphurr> spheres;
    int placed = 0;

    void SetUp() override {
        for (int i = 0; i < 400; ++i)
            spheres.add(Sphurr());
    }
    void TearDown() override {
        for (const char* name : {"Part", "Rad Shit", "Rad Shit Time", "BOOM"})
            std::remove((base + "_" + name + ".track").c_str());
    }
    void tracks(std::map<std::string, float> values) {
        for (const auto& [name, value] : values) {
            std::ofstream out(base + "_" + name + ".track", std::ios::binary);
            int32_t count = 1, row = 0;
            char step = 0;
            out.write((const char*)&count, 4).write((const char*)&row, 4);
            out.write((const char*)&value, 4).write(&step, 1);
        }
    }
    void keys(const std::string& name, std::vector<TrackKey> list) {
        std::ofstream out(base + "_" + name + ".track", std::ios::binary);
        int32_t count = int32_t(list.size());
        out.write((const char*)&count, 4);
        for (const TrackKey& key : list) {
            char type = char(key.interpolation);
            out.write((const char*)&key.row, 4).write((const char*)&key.value, 4).write(&type, 1);
        }
    }
    void at(double seconds) { player.setPosition(seconds); }
    // One frame at time t with a fresh clock, so the tracks are read anew.
    void frame(double t) {
        Sync sync(noTime, base.c_str());
        sync.setAudio(&player);
        sync.setRowRate(44.0 / 3.0);
        updateSphereField(spheres, placed, t, sync);
    }
};

void expectNear(const glm::vec3& got, const glm::vec3& want, float tolerance) {
    EXPECT_NEAR(got.x, want.x, tolerance);
    EXPECT_NEAR(got.y, want.y, tolerance);
    EXPECT_NEAR(got.z, want.z, tolerance);
}

}  // namespace

TEST_F(Field, CloudTakesFiveDrawsPerRecordInTheOrderDistanceZYXRadius) {
    tracks({{"Part", 0.5f}, {"Rad Shit", 0.0f}, {"BOOM", 0.0f}});
    frame(0.0);
    std::srand(12345);
    int draws[5];
    for (int& d : draws)
        d = std::rand() % 2500;
    float dist = draws[0] / 2500.0f * 16.0f;
    float z = draws[1] / 2500.0f * 1.0f * 2.0f - 1.0f;
    float y = draws[2] / 2500.0f * 1.0f * 2.0f - 1.0f;
    float x = draws[3] / 2500.0f * 1.0f * 2.0f - 1.0f;
    float n = 1.0f / float(std::sqrt(double(x * x + y * y + z * z)));
    EXPECT_EQ(spheres[0].pos, glm::vec3(x * n * dist, y * n * dist, z * n * dist));
    EXPECT_EQ(spheres[0].baseRad, 0.6f + draws[4] / 2500.0f * (1.0f - 0.6f));
    for (int i = 0; i < 400; ++i) {
        EXPECT_EQ(spheres[i].rad, spheres[i].baseRad);  // no wave with "Rad Shit" 0
        EXPECT_GE(spheres[i].baseRad, 0.6f);
        EXPECT_LT(spheres[i].baseRad, 1.0f);
        EXPECT_LE(glm::length(spheres[i].pos), 16.0f + 1e-4f);
    }
    glm::vec3 first = spheres[399].pos;
    frame(7.0);  // the cloud stands still from frame to frame
    EXPECT_EQ(spheres[399].pos, first);
}

TEST_F(Field, CloudWaveSwingsRadiiBetweenZeroAndBase) {
    tracks({{"Part", 0.0f}, {"Rad Shit", 1.0f}, {"Rad Shit Time", 2.0f}});
    frame(0.0);
    for (int i = 0; i < 400; ++i) {
        const Sphurr& s = spheres[i];
        float w = float(std::sin(double(float(std::sqrt(double(glm::dot(s.pos, s.pos)))) * 0.4f + 2.0f)));
        EXPECT_EQ(s.rad, float(std::pow(double(w * 0.5f + 0.5f), 6.0)) * s.baseRad);
        EXPECT_GE(s.rad, 0.0f);
        EXPECT_LE(s.rad, s.baseRad);
    }
}

TEST_F(Field, ClusterAtTimeZeroMatchesItsTree) {
    tracks({{"Part", 1.7f}});
    frame(0.0);
    EXPECT_EQ(placed, 40);
    expectNear(spheres[0].pos, {0, 0, 0}, 1e-6f);
    EXPECT_EQ(spheres[0].rad, 3.0f);
    expectNear(spheres[1].pos, {0, 0, 4.2f}, 1e-5f);
    EXPECT_EQ(spheres[1].rad, 1.5f);
    expectNear(spheres[2].pos, {0, 0, 6.3f}, 1e-5f);
    EXPECT_EQ(spheres[2].rad, 1.0f);
    expectNear(spheres[3].pos, {0, 0, 7.7f}, 1e-5f);
    EXPECT_EQ(spheres[3].rad, 0.75f);
    expectNear(spheres[4].pos, {0.9468f, -0.7574f, 5.6f}, 1e-3f);
    expectNear(spheres[14].pos, {2.8403f, -2.2722f, -2.1f}, 1e-3f);
    expectNear(spheres[27].pos, {-2.8403f, 2.2722f, -2.1f}, 1e-3f);
    EXPECT_EQ(spheres[14].rad, 1.5f);
    for (int i = 40; i < 80; ++i) {
        EXPECT_EQ(spheres[i].rad, spheres[i].baseRad);
        EXPECT_GE(spheres[i].rad, 0.03f);
        EXPECT_LT(spheres[i].rad, 0.2f);
    }
    for (int i = 80; i < 400; ++i) {
        EXPECT_EQ(spheres[i].pos, glm::vec3(0.0f));
        EXPECT_EQ(spheres[i].rad, 0.0f);
    }
}

TEST_F(Field, ClusterSpinsWithTimeAndRepeatsExactly) {
    tracks({{"Part", 1.0f}});
    frame(3.0);
    glm::vec3 child = spheres[1].pos;
    EXPECT_NEAR(glm::length(child), 4.2f, 1e-4f);  // still 1.4 parent radii out
    EXPECT_GT(glm::length(child - glm::vec3(0, 0, 4.2f)), 0.1f);
    frame(3.0);
    EXPECT_EQ(spheres[1].pos, child);
}

TEST_F(Field, BoomGrowsTheFirstHalfOnly) {
    tracks({{"Part", 1.0f}, {"BOOM", 0.5f}});
    frame(0.0);
    EXPECT_EQ(spheres[0].rad, 3.5f);
    EXPECT_EQ(spheres[79].rad, spheres[79].baseRad + 0.5f);
    EXPECT_EQ(spheres[80].rad, 0.5f);
    EXPECT_EQ(spheres[199].rad, 0.5f);
    EXPECT_EQ(spheres[200].rad, 0.0f);
    EXPECT_EQ(spheres[399].rad, 0.0f);
}

// A frozen frame shows the placement of the moment the freeze began, worked
// out from the tracks, with "BOOM" of its own time added once: the same
// records whatever was drawn before, and however often.
TEST_F(Field, FrozenPlacementIsThatOfTheFreezesStartWhateverCameBefore) {
    const double rate = 44.0 / 3.0;
    keys("Part", {{0, 1.0f, Step}, {100, 2.0f, Step}, {200, 0.0f, Step}, {300, NAN, Step}});
    tracks({{"BOOM", 0.25f}, {"Rad Shit", 0.5f}, {"Rad Shit Time", 1.0f}});

    // The cluster as it stood at row 100, the key that froze it.
    at(100.0 / rate - 0.0001);
    frame(100.0 / rate);
    std::vector<Sphurr> before(&spheres[0], &spheres[0] + 400);
    for (int i = 0; i < 400; ++i)
        spheres[i] = Sphurr();  // as a first frame finds them
    at(150.0 / rate);
    frame(150.0 / rate);
    for (int i = 0; i < 400; ++i) {
        expectNear(spheres[i].pos, before[i].pos, 1e-4f);
        EXPECT_NEAR(spheres[i].rad, before[i].rad, 1e-6f);  // BOOM added once, not twice
    }
    EXPECT_EQ(spheres[0].rad, 3.25f);
    std::vector<Sphurr> frozen(&spheres[0], &spheres[0] + 400);
    frame(150.0 / rate);
    frame(150.0 / rate);
    for (int i = 0; i < 400; ++i)
        EXPECT_EQ(spheres[i].rad, frozen[i].rad);

    // Frozen (NaN) after the cloud: the cloud of row 300's moment.
    at(299.0 / rate);
    frame(299.0 / rate);
    glm::vec3 cloud = spheres[399].pos;
    float radius = spheres[0].rad;
    at(400.0 / rate);
    frame(400.0 / rate);
    EXPECT_EQ(spheres[399].pos, cloud);
    EXPECT_EQ(spheres[0].rad, radius);

    // Frozen from the first key: nothing placed, only "BOOM".
    keys("Part", {{50, 2.0f, Step}, {90, 1.0f, Step}});
    at(60.0 / rate);
    frame(60.0 / rate);
    for (int i = 0; i < 400; ++i) {
        EXPECT_EQ(spheres[i].pos, glm::vec3(0.0f));
        EXPECT_EQ(spheres[i].rad, i < 200 ? 0.25f : 0.0f);
    }
}

// With interpolated keys the freeze begins between keys, where the value
// leaves the placing modes (-1 < value < 2).
TEST(FreezeStart, IsFoundBetweenInterpolatedKeysAndInBadTracks) {
    auto track = [](std::vector<TrackKey> k) {
        SyncTrack t{nullptr, nullptr, 0};
        for (const TrackKey& key : k)
            setKey(&t, key);
        return t;
    };
    double row = -1;
    SyncTrack rising = track({{0, 0.0f, Linear}, {30, 3.0f, Step}});
    ASSERT_TRUE(lastPlacingRow(&rising, 40.0, row));
    EXPECT_NEAR(row, 20.0, 1e-6);
    EXPECT_EQ(truncateTrackValue(valueAtRow(&rising, row), -1), 1);
    SyncTrack across = track({{0, -4.0f, Smooth}, {10, 5.0f, Ramp}, {20, 6.0f, Step}});  // through 0 and 1
    ASSERT_TRUE(lastPlacingRow(&across, 25.0, row));
    EXPECT_NEAR(valueAtRow(&across, row), 2.0f, 1e-5f);
    EXPECT_TRUE(lastPlacingRow(&across, 5.0, row) && row == 5.0);  // placing now: now
    SyncTrack never = track({{0, 2.0f, Linear}, {10, NAN, Linear}, {20, 7.0f, Step}});
    EXPECT_FALSE(lastPlacingRow(&never, 1e9, row));
    clearKeys(&rising);
    clearKeys(&across);
    clearKeys(&never);
}

// The Windows build draws the sphere layout from this generator instead of
// its runtime's rand: it must give glibc's numbers for every seed, the field's
// own included, far past the first few.
TEST(GlibcRandom, GivesTheNumbersOfGlibcRand) {
#ifdef __GLIBC__
    for (unsigned seed : {0u, 1u, 12345u, 2147483647u, 2147483648u, 4294967295u}) {
        std::srand(seed);
        GlibcRandom generator(seed);
        int differ = 0;
        for (int i = 0; i < 20000; ++i)
            differ += generator.next() != std::rand();
        EXPECT_EQ(differ, 0) << "seed " << seed;
    }
    // Reseeding starts the sequence again.
    GlibcRandom generator(7);
    int first = generator.next();
    generator.next();
    generator.seedWith(7);
    EXPECT_EQ(generator.next(), first);
#else
    GTEST_SKIP() << "not the GNU C library";
#endif
}

TEST(Camera, ShotsAreChosenByTruncation) {
    EXPECT_EQ(truncateTrackValue(0.99f, 0), 0);
    EXPECT_EQ(truncateTrackValue(1.99f, 0), 1);
    EXPECT_EQ(truncateTrackValue(6.5f, 0), 6);
    EXPECT_EQ(truncateTrackValue(-1.0f, 0), -1);
    EXPECT_EQ(truncateTrackValue(-0.5f, 0), 0);
    EXPECT_EQ(truncateTrackValue(NAN, 0), 0);
    EXPECT_EQ(truncateTrackValue(3e9f, 0), 0);
    for (int other : {0, -1, 7, 100})
        EXPECT_EQ(cameraView(other, 12.5), cameraView(0, 12.5));
    EXPECT_NE(cameraView(1, 12.5), cameraView(0, 12.5));
}

TEST(Camera, EyePositionsAtTimeZero) {
    glm::mat4 shot1 = cameraView(1, 0.0);
    EXPECT_EQ(shot1, glm::translate(glm::mat4(1.0f), glm::vec3(-3.0f, 0.0f, -15.0f)));
    expectNear(glm::vec3(glm::inverse(shot1)[3]), {3.0f, 0.0f, 15.0f}, 1e-5f);
    expectNear(glm::vec3(glm::inverse(cameraView(0, 0.0))[3]), {2.911f, -0.726f, 14.0f}, 1e-3f);
    // Every shot circles the origin at a distance of about 14 to 25.
    for (int shot = 0; shot <= 6; ++shot)
        for (double t : {0.0, 10.0, 33.3, 63.9}) {
            float distance = glm::length(glm::vec3(glm::inverse(cameraView(shot, t))[3]));
            EXPECT_GT(distance, 9.0f);
            EXPECT_LT(distance, 26.0f);
        }
}
