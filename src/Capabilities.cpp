#include "Capabilities.h"

#include <cstdio>

#include "Extensions.h"
#include "quib/String.h"

namespace {

// "3.0 Mesa 22.3.6" -> 300; "OpenGL ES 3.0 ..." never reaches here (the
// desktop contexts only). 0 when it cannot be read.
int versionNumber(const std::string& text) {
    int major = 0, minor = 0;
    if (std::sscanf(text.c_str(), "%d.%d", &major, &minor) != 2)
        return 0;
    return major * 100 + (minor < 10 ? minor * 10 : minor);
}

bool hasExtension(const std::string& list, const std::string& name) {
    for (size_t at = list.find(name); at != std::string::npos; at = list.find(name, at + 1)) {
        bool startsWord = at == 0 || list[at - 1] == ' ';
        size_t end = at + name.size();
        if (startsWord && (end == list.size() || list[end] == ' '))
            return true;
    }
    return false;
}

std::string text(GLenum name) {
    const GLubyte* value = glGetString(name);
    return value ? reinterpret_cast<const char*>(value) : "";
}

int integer(GLenum name) {
    GLint value = 0;
    glGetIntegerv(name, &value);
    return value;
}

}  // namespace

std::string missingCapability(const GLFacts& facts) {
    int gl = versionNumber(facts.version);
    // Shaders, multiple draw buffers and non-square textures: 2.0; GLSL 1.20: 2.1.
    if (gl < 210)
        return "This needs OpenGL 2.1";
    if (versionNumber(facts.shadingVersion) < 120)
        return "This needs GLSL 1.20";
    struct Need {
        int version;
        const char* extension;
    };
    // Framebuffer and renderbuffer objects for every pass; 16-bit float
    // textures for the G-buffer; one-channel textures for the occlusion; and
    // cube map filtering across the faces for the sky's reflections.
    const Need needs[] = {{300, "GL_ARB_framebuffer_object"},
                          {300, "GL_ARB_texture_float"},
                          {300, "GL_ARB_texture_rg"},
                          {320, "GL_ARB_seamless_cube_map"}};
    for (const Need& need : needs) {
        if (gl < need.version && !hasExtension(facts.extensions, need.extension)) {
            char message[96];
            std::snprintf(message, sizeof message, "This needs OpenGL %d.%d or %s", need.version / 100,
                          need.version % 100 / 10, need.extension);
            return message;
        }
    }
    // The G-buffer pass writes three textures at once.
    if (facts.drawBuffers < 3 || facts.colourAttachments < 3)
        return "This needs three draw buffers";
    // The sphere composite reads four textures at once.
    if (facts.textureUnits < 4)
        return "This needs four texture units";
    return "";
}

void checkCapabilities() {
    GLFacts facts;
    facts.version = text(GL_VERSION);
    facts.shadingVersion = text(GL_SHADING_LANGUAGE_VERSION);
    facts.extensions = text(GL_EXTENSIONS);
    facts.drawBuffers = integer(GL_MAX_DRAW_BUFFERS);
    facts.colourAttachments = integer(GL_MAX_COLOR_ATTACHMENTS);
    facts.textureUnits = integer(GL_MAX_TEXTURE_IMAGE_UNITS);
    std::string missing = missingCapability(facts);
    if (!missing.empty())
        throw Quib::Exception(missing.c_str(), "src\\Capabilities", 90);
}
