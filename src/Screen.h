#pragma once

#include "Extensions.h"

// The production's reference picture: the window of the default run, and the
// frame that every size in pixels of the passes is given for.
constexpr int frameWidth = 1280;
constexpr int frameHeight = 720;

// The size the production renders at: every full-size target is made at it.
// The reference frame unless another 16:9 size is set before the first
// target is made (the capture tool's --size, the demo's --native); what the
// passes define in pixels of the reference frame scales with renderScale().
int renderWidth();
int renderHeight();
void setRenderSize(int width, int height);
float renderScale();  // renderHeight() / frameHeight

// The framebuffer that frames meant for the window are drawn into: the
// window's own (0), unless the window presents a scaled picture from an
// offscreen target of its own (see GLWindow::startScaledPresentation).
GLuint screenFramebuffer();
void setScreenFramebuffer(GLuint framebuffer);
