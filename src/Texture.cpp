#include "Texture.h"

#include <stb/stb_image.h>

#include <cstdio>
#include <string>

#include "Screen.h"
#include "platform/PathKind.h"
#include "platform/Platform.h"

using Quib::Exception;
using Quib::String;

namespace {

void setLinearFilters() {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
}

// Every attachment the draw-buffer list can name; a target passes its first
// colourCount entries.
const GLenum drawBufferList[RenderTarget::maxColourTextures] = {
    GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1, GL_COLOR_ATTACHMENT2,
    GL_COLOR_ATTACHMENT3, GL_COLOR_ATTACHMENT4, GL_COLOR_ATTACHMENT5,
    GL_COLOR_ATTACHMENT6, GL_COLOR_ATTACHMENT7, GL_COLOR_ATTACHMENT8,
};

const char* formatName(GLenum format) {
    switch (format) {
    case GL_RGBA: return "GL_RGBA";
    case GL_RGBA8: return "GL_RGBA8";
    case GL_RGB16F: return "GL_RGB16F";
    case GL_RGBA16F: return "GL_RGBA16F";
    case GL_R8: return "GL_R8";
    default: return nullptr;
    }
}

const char* statusName(GLenum status) {
    switch (status) {
    case GL_FRAMEBUFFER_UNDEFINED: return "GL_FRAMEBUFFER_UNDEFINED";
    case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT: return "GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT";
    case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT: return "GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT";
#ifdef GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER  // not in OpenGL ES
    case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER: return "GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER";
#endif
    case GL_FRAMEBUFFER_UNSUPPORTED: return "GL_FRAMEBUFFER_UNSUPPORTED";
    default: return nullptr;
    }
}

// Why the bound framebuffer cannot be drawn to, or empty when it can. The
// status procedure is fetched here rather than with the others: the start's
// table of procedures is fixed, and this is asked only while targets are made.
std::string incompleteness() {
    auto check = reinterpret_cast<PFNGLCHECKFRAMEBUFFERSTATUSPROC>(lookUpGLProcedure("glCheckFramebufferStatus"));
    if (!check)
        return "";
    GLenum status = check(GL_FRAMEBUFFER);
    if (status == GL_FRAMEBUFFER_COMPLETE)
        return "";
    if (const char* name = statusName(status))
        return name;
    char code[32];
    std::snprintf(code, sizeof code, "status 0x%04X", static_cast<unsigned>(status));
    return code;
}

}  // namespace

void refuseOversizedImage(const String& path, const char* sourceFile, int line) {
    const char* name = path.cStr() ? path.cStr() : "";
    int width = 0, height = 0, components = 0;
    if (!isFileOrDirectory(name) || !stbi_info(name, &width, &height, &components))
        return;
    GLint limit = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
    if (limit <= 0 || (width <= limit && height <= limit))
        return;
    char size[96];
    std::snprintf(size, sizeof size, "\" is %d x %d pixels, more than the %d this OpenGL takes", width, height,
                  int(limit));
    throw Exception("Texture \"" + path + size, sourceFile, line);
}

Texture::Texture(const String& path) : id(0), width(0), height(0) {
    refuseOversizedImage(path, "src\\Texture", 21);
    int components = 0;
    const char* name = path.cStr() ? path.cStr() : "";
    stbi_uc* pixels = isFileOrDirectory(name) ? stbi_load(name, &width, &height, &components, 4) : nullptr;
    if (!pixels)
        throw Exception("Could not load texture \"" + path + "\"", "src\\Texture", 21);

    glGenTextures(1, &id);
    glBindTexture(GL_TEXTURE_2D, id);
    // The decoder's first row is the top of the image and goes up first: it
    // ends up at t = 0.
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    stbi_image_free(pixels);
    setLinearFilters();
    glBindTexture(GL_TEXTURE_2D, 0);
}

Texture::Texture(int width, int height, GLenum internalFormat)
    : id(0), width(width), height(height) {
    glGenTextures(1, &id);
    glBindTexture(GL_TEXTURE_2D, id);
    glTexImage2D(GL_TEXTURE_2D, 0, internalFormat, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    setLinearFilters();
    glBindTexture(GL_TEXTURE_2D, 0);
}

Texture::~Texture() {
    glDeleteTextures(1, &id);
}

void Texture::bind(int unit) {
    glActiveTexture(GL_TEXTURE0 + unit);
    glBindTexture(GL_TEXTURE_2D, id);
}

RenderTarget::RenderTarget(int width, int height, bool withDepth, int colourCount, GLenum internalFormat)
    : framebuffer(0), depthRenderbuffer(0), colourTextures(nullptr),
      colourCount(colourCount), width(width), height(height) {
    // The draw-buffer list has nine entries; refuse what it cannot name
    // before any GL object exists.
    if (colourCount > maxColourTextures)
        throw Exception("Too many colour textures for a render target", "src\\Texture", 60);
    if (colourCount < 1)
        throw Exception("Too few colour textures for a render target", "src\\Texture", 60);

    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);

    colourTextures = new Texture*[colourCount]();
    for (int i = 0; i < colourCount; ++i) {
        colourTextures[i] = new Texture(width, height, internalFormat);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0 + i, GL_TEXTURE_2D,
                               colourTextures[i]->id, 0);
    }
    glDrawBuffers(colourCount, drawBufferList);

    if (withDepth) {
        glGenRenderbuffers(1, &depthRenderbuffer);
        glBindRenderbuffer(GL_RENDERBUFFER, depthRenderbuffer);
        glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, width, height);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depthRenderbuffer);
        glBindRenderbuffer(GL_RENDERBUFFER, 0);
    }

    // A driver that cannot render to the format, or to this size, says so
    // here, by name, rather than with a bare error after the first frame.
    std::string why = incompleteness();
    glBindFramebuffer(GL_FRAMEBUFFER, screenFramebuffer());
    if (!why.empty()) {
        char format[16];
        const char* name = formatName(internalFormat);
        if (!name) {
            std::snprintf(format, sizeof format, "0x%04X", static_cast<unsigned>(internalFormat));
            name = format;
        }
        char message[256];
        std::snprintf(message, sizeof message,
                      "Could not make a %dx%d render target of %s textures%s: %s", width, height, name,
                      withDepth ? " with a depth buffer" : "", why.c_str());
        release();
        throw Exception(message, "src\\Texture", 92);
    }
}

RenderTarget::~RenderTarget() { release(); }

void RenderTarget::release() {
    glDeleteFramebuffers(1, &framebuffer);
    if (depthRenderbuffer != 0)
        glDeleteRenderbuffers(1, &depthRenderbuffer);
    for (int i = 0; i < colourCount; ++i)
        delete colourTextures[i];
    delete[] colourTextures;
    colourTextures = nullptr;
}
