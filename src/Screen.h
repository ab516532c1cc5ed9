#pragma once

#include "Extensions.h"

// The production's picture: every full-size target, the window of the
// default run and the projection use this size.
constexpr int frameWidth = 1280;
constexpr int frameHeight = 720;
constexpr float frameAspect = float(frameWidth) / float(frameHeight);  // 1.7777778f

// The framebuffer that frames meant for the window are drawn into: the
// window's own (0), unless the window presents a scaled picture from an
// offscreen target of its own (see GLWindow::startScaledPresentation).
GLuint screenFramebuffer();
void setScreenFramebuffer(GLuint framebuffer);
