#include "Shader.h"

#include <string>

#include "File.h"

using Quib::Exception;
using Quib::String;

namespace {

const std::string extensionName = "GL_EXT_gpu_shader4";

std::string onPlainPath(std::string source) {
    size_t line = 0;
    while (line < source.size()) {
        size_t end = source.find('\n', line);
        if (end == std::string::npos)
            end = source.size();
        size_t first = source.find_first_not_of(" \t", line);
        if (first < end && source.compare(first, 10, "#extension") == 0 &&
            source.find(extensionName, first) < end)
            source.replace(first, end - first, std::string(end - first, ' '));
        line = end + 1;
    }
    for (size_t at = source.find(extensionName); at != std::string::npos;
         at = source.find(extensionName, at))
        source.replace(at, 3, "NO_");  // GL_EXT_gpu_shader4 -> NO_EXT_gpu_shader4
    return source;
}

}  // namespace

Shader::Shader(const String& path, GLenum type, bool plainPath) : id(0), type(type) {
    // Refused before the file is touched.
    if (type != GL_VERTEX_SHADER && type != GL_FRAGMENT_SHADER)
        throw Exception("Invalid shader type specified", "src\\Shader", 6);

    String file = readFile(path);
    std::string source = file.cStr() ? file.cStr() : "";
    if (plainPath)
        source = onPlainPath(source);
    const GLchar* text = source.c_str();

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
