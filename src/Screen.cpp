#include "Screen.h"

namespace {
GLuint screen = 0;
int width = frameWidth, height = frameHeight;
}  // namespace

int renderWidth() { return width; }
int renderHeight() { return height; }

void setRenderSize(int w, int h) {
    width = w;
    height = h;
}

float renderScale() { return float(height) / float(frameHeight); }

GLuint screenFramebuffer() { return screen; }

void setScreenFramebuffer(GLuint framebuffer) { screen = framebuffer; }
