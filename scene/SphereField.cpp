#include "scene/SphereField.h"

#include <cmath>
#include <cstdlib>
#include <initializer_list>

#include <glm/gtc/matrix_transform.hpp>

#include "Sync.h"
#include "SyncTrack.h"

using Quib::List;

namespace {

const int randomSeed = 12345;

float fraction() { return float(std::rand() % 2500) / 2500.0f; }

// The span is formed in single precision: range(0.6, 1.0) scales by 0.39999998.
float range(float lo, float hi) { return lo + fraction() * (hi - lo); }

// A direction from a point in the unit cube, normalised, at a uniform
// distance up to 16. The draws come in the order distance, z, y, x.
glm::vec3 randomPoint() {
    float dist = range(0.0f, 16.0f);
    float dz = range(0.0f, 1.0f) * 2.0f - 1.0f;
    float dy = range(0.0f, 1.0f) * 2.0f - 1.0f;
    float dx = range(0.0f, 1.0f) * 2.0f - 1.0f;
    float n = 1.0f / float(std::sqrt(double(dx * dx + dy * dy + dz * dz)));
    return glm::vec3(dx * n * dist, dy * n * dist, dz * n * dist);
}

float lengthOf(const glm::vec3& v) { return float(std::sqrt(double(v.x * v.x + v.y * v.y + v.z * v.z))); }

}  // namespace

int truncateTrackValue(float value, int otherwise) {
    if (!(value > -2147483648.0f && value < 2147483648.0f))
        return otherwise;
    return int(value);
}

void buildCluster(List<Sphurr>& spheres, int& placed, int depth, glm::mat4 transform, double t) {
    glm::vec3 centre = glm::vec3(transform * glm::vec4(0.0f, 0.0f, 0.0f, 1.0f));
    float r = 3.0f / float(depth + 1);
    Sphurr& node = spheres[placed];
    node.pos = centre;
    node.rad = r;
    node.baseRad = r;
    ++placed;
    if (depth > 2)
        return;

    // The spin is relative to the node's own frame, so it compounds down the tree.
    transform = glm::rotate(transform, glm::radians(float(12.0 * t)), glm::vec3(0.0f, 0.0f, 1.0f));
    transform = glm::rotate(transform, glm::radians(float(9.0 * t)), glm::vec3(1.0f, 0.0f, 0.0f));
    transform = glm::rotate(transform, glm::radians(float(15.0 * t)), glm::vec3(0.0f, 1.0f, 0.0f));
    glm::vec3 axis = glm::normalize(glm::vec3(0.8f, 1.0f, 0.0f));
    float d = 1.4f * r;
    for (float angle : {0.0f, 120.0f, 240.0f}) {
        glm::mat4 child = glm::translate(glm::rotate(transform, glm::radians(angle), axis), glm::vec3(0.0f, 0.0f, d));
        buildCluster(spheres, placed, depth + 1, child, t);
    }
}

namespace {

bool places(int mode) { return mode == 0 || mode == 1; }

int modeOf(float part) { return truncateTrackValue(part, -1); }

// Which way a "Part" value lies from the placing modes: below (-1), inside
// (0), above (1), or neither (NaN).
int sideOf(float part) {
    if (part > -1.0f && part < 2.0f)
        return 0;
    if (part <= -1.0f)
        return -1;
    return part >= 2.0f ? 1 : 2;
}

void placeCloud(List<Sphurr>& spheres, float rs, float rst) {
    // Reseeded every frame, so the cloud stands still and is the same in every run.
    std::srand(randomSeed);
    for (int i = 0; i < spheres.count; ++i) {
        spheres[i].pos = randomPoint();
        spheres[i].baseRad = range(0.6f, 1.0f);
    }
    for (int i = 0; i < spheres.count; ++i) {
        Sphurr& s = spheres[i];
        float w = float(std::sin(double(lengthOf(s.pos) * 0.4f + rst)));
        float k = float(std::pow(double(w * 0.5f + 0.5f), 6.0));
        s.rad = (k * rs + (1.0f - rs)) * s.baseRad;
    }
}

void placeCluster(List<Sphurr>& spheres, int& placed, double t) {
    for (int i = 0; i < spheres.count; ++i) {
        spheres[i].pos = glm::vec3(0.0f);
        spheres[i].rad = 0.0f;
    }
    placed = 0;
    buildCluster(spheres, placed, 0, glm::mat4(1.0f), t);
    std::srand(randomSeed);
    for (int i = placed; i < placed + 40 && i < spheres.count; ++i) {
        spheres[i].pos = randomPoint();
        float r = range(0.03f, 0.2f);
        spheres[i].rad = r;
        spheres[i].baseRad = r;
    }
}

}  // namespace

bool lastPlacingRow(const SyncTrack* part, double row, double& found) {
    if (places(modeOf(valueAtRow(part, row)))) {
        found = row;
        return true;
    }
    // Back from the row one key's stretch at a time. Within a stretch the
    // value stands still (step) or moves one way from its key toward the
    // next, so the rows at which it places, if any, end where it crosses the
    // edge of the placing values on the side it ends on; halving finds that
    // row. A key's value takes over on its own row: the stretch before it
    // is searched up to just short of it.
    const double justShort = 1.0 / 4096;  // of a row: 17 microseconds
    double end = row;
    bool current = true;
    for (int i = findKeyAtOrBefore(part, wholeRow(row)); i >= 0; --i) {
        double start = part->keys[i].row;
        double last = current ? end : end - justShort;
        bool ordered = last >= start;  // keys out of order make no stretch
        end = start;
        current = false;
        if (!ordered)
            continue;
        float atLast = valueAtRow(part, last);
        if (places(modeOf(atLast))) {
            found = last;
            return true;
        }
        int endSide = sideOf(atLast);
        if (sideOf(valueAtRow(part, start)) == endSide)
            continue;
        double lo = start, hi = last;
        for (int step = 0; step < 64 && hi - lo > 1e-9; ++step) {
            double mid = lo + (hi - lo) / 2;
            (sideOf(valueAtRow(part, mid)) == endSide ? hi : lo) = mid;
        }
        if (places(modeOf(valueAtRow(part, lo)))) {
            found = lo;
            return true;
        }
    }
    // Before the first key the first key's value holds: it never placed.
    return false;
}

void updateSphereField(List<Sphurr>& spheres, int& placed, double t, Sync& sync) {
    // Values that fit no int select neither mode and freeze the placement.
    int mode = modeOf(sync.getValue("Part"));
    if (places(mode)) {
        if (mode == 0) {
            float rs = sync.getValue("Rad Shit");  // read in this order: it is the tracks' order
            float rst = sync.getValue("Rad Shit Time");
            placeCloud(spheres, rs, rst);
        } else {
            placeCluster(spheres, placed, t);
        }
    } else {
        // Frozen: the placement of the moment the freeze began, worked out
        // from the tracks, so that a seek or a first frame in the middle of
        // the freeze shows what a continuous play shows.
        double row;
        if (lastPlacingRow(getTrack(sync.getDevice(), "Part"), sync.getRow(), row)) {
            double rate = sync.getRowRate();
            if (modeOf(sync.getValueAt("Part", row)) == 0) {
                float rs = sync.getValueAt("Rad Shit", row);
                float rst = sync.getValueAt("Rad Shit Time", row);
                placeCloud(spheres, rs, rst);
            } else {
                placeCluster(spheres, placed, rate > 0.0 ? row / rate : t);
            }
        } else {
            // Frozen from the first key: nothing was ever placed.
            for (int i = 0; i < spheres.count; ++i)
                spheres[i] = Sphurr();
            placed = 0;
        }
    }

    // Added once, to this frame's placement.
    float boom = sync.getValue("BOOM");
    for (int i = 0; i < spheres.count / 2; ++i)
        spheres[i].rad += boom;
}
