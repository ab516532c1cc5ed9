#include "scene/SphereField.h"

#include <cmath>
#include <cstdlib>
#include <initializer_list>

#include <glm/gtc/matrix_transform.hpp>

#include "Sync.h"

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

void updateSphereField(List<Sphurr>& spheres, int& placed, double t, Sync& sync) {
    // Values that fit no int select neither mode and keep the placement.
    int mode = truncateTrackValue(sync.getValue("Part"), -1);
    if (mode == 0) {
        // Reseeded every frame, so the cloud stands still and is the same in every run.
        std::srand(randomSeed);
        for (int i = 0; i < spheres.count; ++i) {
            spheres[i].pos = randomPoint();
            spheres[i].baseRad = range(0.6f, 1.0f);
        }
        float rs = sync.getValue("Rad Shit");
        float rst = sync.getValue("Rad Shit Time");
        for (int i = 0; i < spheres.count; ++i) {
            Sphurr& s = spheres[i];
            float w = float(std::sin(double(lengthOf(s.pos) * 0.4f + rst)));
            float k = float(std::pow(double(w * 0.5f + 0.5f), 6.0));
            s.rad = (k * rs + (1.0f - rs)) * s.baseRad;
        }
    } else if (mode == 1) {
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

    float boom = sync.getValue("BOOM");
    for (int i = 0; i < spheres.count / 2; ++i)
        spheres[i].rad += boom;
}
