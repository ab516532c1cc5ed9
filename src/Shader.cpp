#include "Shader.h"

#include "File.h"

using Quib::Exception;
using Quib::String;

Shader::Shader(const String& path, GLenum type) : id(0), type(type) {
    // Refused before the file is touched.
    if (type != GL_VERTEX_SHADER && type != GL_FRAGMENT_SHADER)
        throw Exception("Invalid shader type specified", "src\\Shader", 6);

    String source = readFile(path);
    const GLchar* text = source.cStr() ? source.cStr() : "";

    id = glCreateShader(type);
    glShaderSource(id, 1, &text, nullptr);
    glCompileShader(id);

    GLint status = 0;
    glGetShaderiv(id, GL_COMPILE_STATUS, &status);
    if (status == GL_TRUE)
        return;

    GLchar log[4096];
    log[0] = '\0';
    glGetShaderInfoLog(id, sizeof log, nullptr, log);
    // The run ends with the failure anyway, but leave nothing behind.
    glDeleteShader(id);
    id = 0;
    throw Exception(String("Shader compile failed:\n") + log, "src\\Shader", 22);
}

Shader::~Shader() {
    glDeleteShader(id);
}
