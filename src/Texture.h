#pragma once

#include "Extensions.h"
#include "quib/String.h"

// One 2-D texture: decoded from an image file, or empty storage for a
// render target.
class Texture {
public:
    // Decodes a PNG or JPEG into 8-bit RGBA and uploads it, top row first.
    // Throws when the file cannot be opened or decoded.
    explicit Texture(const Quib::String& path);
    // An empty texture of the given size and internal format.
    Texture(int width, int height, GLenum internalFormat);
    ~Texture();

    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    // Makes unit the active texture unit and binds this texture there.
    void bind(int unit);

    GLuint id;
    int width, height;
};

// Reads the size an image file declares, without decoding it, and throws,
// naming the file, when it is larger than this OpenGL's textures can be:
// such an image would be decoded in full only for its upload to fail. A
// file whose size cannot be read is left to the decoder and its message.
// sourceFile and line are the thrower's.
void refuseOversizedImage(const Quib::String& path, const char* sourceFile, int line);

// A framebuffer object with 1 to 9 colour textures (attachment i holds
// texture i) and an optional 24-bit depth renderbuffer.
class RenderTarget {
public:
    // Throws, naming the size and the format, when the driver cannot render
    // to the finished framebuffer; nothing is left behind then.
    RenderTarget(int width, int height, bool withDepth, int colourCount, GLenum internalFormat);
    ~RenderTarget();

    RenderTarget(const RenderTarget&) = delete;
    RenderTarget& operator=(const RenderTarget&) = delete;

    static const int maxColourTextures = 9;

    GLuint framebuffer;
    GLuint depthRenderbuffer;  // 0 without depth
    Texture** colourTextures;
    int colourCount;
    int width, height;

private:
    void release();
};
