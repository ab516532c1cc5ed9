#pragma once

#include <string>
#include <vector>

#include "FileStamp.h"
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
    // throws as Shader and Program do, leaving nothing behind.
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

    const std::string vertexPath, fragmentPath;

private:
    void stampFiles();

    Shader* vertexShader = nullptr;
    Shader* fragmentShader = nullptr;
    Program* program = nullptr;
    FileStamp vertexStamp, fragmentStamp;
};
