#pragma once

#include <glm/glm.hpp>

// One sphere of the field.
struct Sphurr {
    glm::vec3 pos;  // centre in world space
    float baseRad;  // radius before this frame's animation
    float rad;      // radius drawn this frame

    Sphurr() : pos(0.0f), baseRad(0.0f), rad(0.0f) {}
};
