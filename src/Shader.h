#pragma once

#include "Extensions.h"
#include "quib/String.h"

// One compiled GLSL shader object, read from a text file.
class Shader {
public:
    // type is GL_VERTEX_SHADER or GL_FRAGMENT_SHADER. Throws when the type is
    // neither, the file cannot be read or the source does not compile.
    //
    // The production's shaders have two paths: one for drivers with
    // GL_EXT_gpu_shader4, under `#ifdef GL_EXT_gpu_shader4`, and a plain
    // GLSL 1.20 one with the same picture. The driver defines that macro
    // itself, so with plainPath the source is compiled as if it did not: its
    // `#extension GL_EXT_gpu_shader4` line is blanked and the name is spelt
    // as one no driver defines (line numbers stay as in the file).
    Shader(const Quib::String& path, GLenum type, bool plainPath = false);
    ~Shader();

    Shader(const Shader&) = delete;
    Shader& operator=(const Shader&) = delete;

    GLuint id;
    GLenum type;
};
