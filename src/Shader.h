#pragma once

#include "Extensions.h"
#include "quib/String.h"

// One compiled GLSL shader object, read from a text file.
class Shader {
public:
    // type is GL_VERTEX_SHADER or GL_FRAGMENT_SHADER. Throws when the type is
    // neither, the file cannot be read or the source does not compile.
    Shader(const Quib::String& path, GLenum type);
    ~Shader();

    Shader(const Shader&) = delete;
    Shader& operator=(const Shader&) = delete;

    GLuint id;
    GLenum type;
};
