#pragma once

#include <glm/glm.hpp>

// The view matrix of camera shot 1 to 6 at demo time t; any other shot number
// gives the default shot. Every shot circles the origin.
glm::mat4 cameraView(int shot, double t);
