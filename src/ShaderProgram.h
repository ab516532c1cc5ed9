#pragma once

#include <string>
#include <vector>

#include "platform/Files.h"
#include "Program.h"
#include "Shader.h"

// A vertex and a fragment shader read from their files and the program
// linked from them, owned together and released together. It is used as
// the program it holds: use, unuse and setUniform go to that program.
//
// The editing mode rebuilds it when one of its files changes on disk; a
// rebuild that fails keeps the program in use.
class ShaderProgram {
public:
    // Compiles the vertex shader, then the fragment shader, then links;
    // throws as Shader and Program do, leaving nothing behind. The pair is
    // built on its GL_EXT_gpu_shader4 path first and, when that fails to
    // compile or link, again on its plain path (see Shader); only when both
    // fail does it throw, with the first failure. VELVORIA_PLAIN_SHADERS=1 in
    // the environment builds every pair on the plain path only, to test that
    // path on a driver that has the extension.
    ShaderProgram(const char* vertexPath, const char* fragmentPath);
    // Releases the shaders, then the program.
    ~ShaderProgram();

    ShaderProgram(const ShaderProgram&) = delete;
    ShaderProgram& operator=(const ShaderProgram&) = delete;

    void use() { program->use(); }
    void unuse() { program->unuse(); }
    template <typename T>
    void setUniform(const char* name, const T& value) {
        program->setUniform(name, value);
    }
    Program& get() { return *program; }

    // Whether either file has changed on disk since the last build (or the
    // last rebuild attempt).
    bool changedOnDisk();
    // Builds the pair again from the files. On success the new program
    // replaces the old and true is returned; on failure the old one stays
    // and `log` holds the compiler's or linker's message.
    bool rebuild(std::string& log);

    // Every ShaderProgram alive, in order of construction.
    static const std::vector<ShaderProgram*>& all();

    // Whether VELVORIA_PLAIN_SHADERS asks for the plain path only.
    static bool plainPathForced();

    const std::string vertexPath, fragmentPath;

private:
    void stampFiles();
    void build(Shader*& vertex, Shader*& fragment, Program*& linked);

    Shader* vertexShader = nullptr;
    Shader* fragmentShader = nullptr;
    Program* program = nullptr;
    FileStamp vertexStamp, fragmentStamp;
};
