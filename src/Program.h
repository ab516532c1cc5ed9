#pragma once

#include <glm/glm.hpp>

#include "Extensions.h"
#include "Shader.h"

// One linked GLSL program made of a vertex and a fragment shader. The
// shaders are not owned: whoever owns the program deletes them separately.
class Program {
public:
    // Throws when a shader is missing or linking fails.
    Program(Shader* vertex, Shader* fragment);
    // Leaves no program current, then deletes the program object.
    ~Program();

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    void use();
    void unuse();

    // Each looks the name up in this program and sets the value in the
    // program currently in use; callers use() first. A name the program lacks
    // is ignored by GL.
    void setUniform(const char* name, float value);
    void setUniform(const char* name, const glm::vec3& value);
    void setUniform(const char* name, int value);
    void setUniform(const char* name, const glm::mat4& value);

    GLuint id;
    Shader* vertexShader;
    Shader* fragmentShader;
};
