#pragma once

#include <string>

// What the production needs of the OpenGL driver, checked once right after
// the context is made, so that a driver without it hears what is missing
// instead of failing later with a bare GL error.

// What a context says of itself.
struct GLFacts {
    std::string version;         // GL_VERSION, "2.1 Mesa 22.3.6" and the like
    std::string shadingVersion;  // GL_SHADING_LANGUAGE_VERSION
    std::string extensions;      // GL_EXTENSIONS, names separated by spaces
    int drawBuffers = 0;         // GL_MAX_DRAW_BUFFERS
    int colourAttachments = 0;   // GL_MAX_COLOR_ATTACHMENTS
    int textureUnits = 0;        // GL_MAX_TEXTURE_IMAGE_UNITS
};

// The first thing missing, as the message that ends the start ("This needs
// OpenGL 3.0 or GL_ARB_texture_float"), or empty when nothing is.
std::string missingCapability(const GLFacts& facts);

// Reads the current context's facts; throws a Quib::Exception with the
// message above when something is missing. A context without framebuffer
// objects refuses the attachment count: that error is left pending for the
// caller, which clears what the context's making left behind.
void checkCapabilities();
