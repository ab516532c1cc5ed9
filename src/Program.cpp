#include "Program.h"

#include <glm/gtc/type_ptr.hpp>

using Quib::Exception;
using Quib::String;

Program::Program(Shader* vertex, Shader* fragment)
    : id(0), vertexShader(vertex), fragmentShader(fragment) {
    if (!vertex || !fragment)
        throw Exception("Invalid vertex or fragment shader.", "src\\Program", 6);

    id = glCreateProgram();
    glAttachShader(id, vertex->id);
    glAttachShader(id, fragment->id);
    glLinkProgram(id);

    GLint status = 0;
    glGetProgramiv(id, GL_LINK_STATUS, &status);
    if (status == GL_TRUE)
        return;

    GLchar log[4096];
    log[0] = '\0';
    glGetProgramInfoLog(id, sizeof log, nullptr, log);
    glDeleteProgram(id);
    id = 0;
    throw Exception(String("Program link failed:\n") + log, "src\\Program", 21);
}

Program::~Program() {
    glUseProgram(0);
    glDeleteProgram(id);
}

void Program::use() {
    glUseProgram(id);
}

void Program::unuse() {
    glUseProgram(0);
}

void Program::setUniform(const char* name, float value) {
    glUniform1f(glGetUniformLocation(id, name), value);
}

void Program::setUniform(const char* name, const glm::vec3& value) {
    glUniform3f(glGetUniformLocation(id, name), value.x, value.y, value.z);
}

void Program::setUniform(const char* name, int value) {
    glUniform1i(glGetUniformLocation(id, name), value);
}

void Program::setUniform(const char* name, const glm::mat4& value) {
    glUniformMatrix4fv(glGetUniformLocation(id, name), 1, GL_FALSE, glm::value_ptr(value));
}
