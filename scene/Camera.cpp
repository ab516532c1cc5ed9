#include "scene/Camera.h"

#include <cmath>

#include <glm/gtc/matrix_transform.hpp>

namespace {

// k·t formed in double and rounded to single: a linearly growing angle.
float kt(double k, double t) { return float(k * t); }
// The sine and cosine of k·t, taken in double and rounded to single.
float s(double k, double t) { return float(std::sin(double(kt(k, t)))); }
float c(double k, double t) { return float(std::cos(double(kt(k, t)))); }

}  // namespace

glm::mat4 cameraView(int shot, double t) {
    float x, z, angleY, angleX, angleZ;
    switch (shot) {
    case 1:
        x = -3.0f; z = 5.0f * s(1.1, t) - 15.0f;
        angleY = 6.0f * s(0.2, t); angleX = 20.0f * s(0.3, t); angleZ = 22.0f * s(0.4, t);
        break;
    case 2:
        x = 4.0f * c(0.4, t); z = -15.0f;
        angleY = kt(30, t); angleX = 20.0f * s(0.3, t); angleZ = 14.0f * c(0.4, t);
        break;
    case 3:
        x = 2.0f; z = -15.0f;
        angleY = kt(-25, t); angleX = 20.0f * s(0.23, t); angleZ = 14.0f * c(0.46, t);
        break;
    case 4:
        x = 4.0f * s(0.28, t); z = 7.0f * s(1.67, t) - 18.0f;
        angleY = kt(30, t); angleX = 20.0f * s(0.22223, t); angleZ = 14.0f * c(0.343434, t);
        break;
    case 5:
        x = 4.0f * c(0.86, t); z = 5.0f * s(0.999, t) - 15.0f;
        angleY = 6.0f * s(0.4, t); angleX = kt(20, t); angleZ = 12.0f * c(0.7, t);
        break;
    case 6:
        x = 4.0f * s(0.34, t); z = -20.0f;
        angleY = kt(20, t); angleX = 20.0f * s(0.22, t); angleZ = kt(30, t);
        break;
    default:
        x = -3.0f; z = -14.0f;
        angleY = kt(30, t); angleX = 20.0f * s(0.6, t); angleZ = 14.0f * c(0.7, t);
        break;
    }
    glm::mat4 view = glm::translate(glm::mat4(1.0f), glm::vec3(x, 0.0f, z));
    view = glm::rotate(view, glm::radians(angleY), glm::vec3(0.0f, 1.0f, 0.0f));
    view = glm::rotate(view, glm::radians(angleX), glm::vec3(1.0f, 0.0f, 0.0f));
    view = glm::rotate(view, glm::radians(angleZ), glm::vec3(0.0f, 0.0f, 1.0f));
    return view;
}
