#include "ShaderProgram.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::vector<ShaderProgram*>& registry() {
    static std::vector<ShaderProgram*> programs;
    return programs;
}

// Compiles and links the pair on one path; throws as Shader and Program do,
// leaving nothing behind.
void buildPair(const std::string& vertexPath, const std::string& fragmentPath, bool plain,
               Shader*& vertex, Shader*& fragment, Program*& linked) {
    vertex = fragment = nullptr;
    linked = nullptr;
    try {
        vertex = new Shader(vertexPath.c_str(), GL_VERTEX_SHADER, plain);
        fragment = new Shader(fragmentPath.c_str(), GL_FRAGMENT_SHADER, plain);
        linked = new Program(vertex, fragment);
    } catch (...) {
        delete vertex;
        delete fragment;
        vertex = fragment = nullptr;
        throw;
    }
}

}  // namespace

bool ShaderProgram::plainPathForced() {
    const char* plain = std::getenv("VELVORIA_PLAIN_SHADERS");
    return plain && *plain && std::strcmp(plain, "0") != 0;
}

void ShaderProgram::build(Shader*& vertex, Shader*& fragment, Program*& linked) {
    if (plainPathForced()) {
        buildPair(vertexPath, fragmentPath, true, vertex, fragment, linked);
        return;
    }
    try {
        buildPair(vertexPath, fragmentPath, false, vertex, fragment, linked);
        return;
    } catch (const Quib::Exception& first) {
        // A driver's compiler may refuse the GL_EXT_gpu_shader4 path; the
        // plain one gives the same picture. When that fails too, the first
        // failure is the one reported.
        try {
            buildPair(vertexPath, fragmentPath, true, vertex, fragment, linked);
        } catch (const Quib::Exception&) {
            throw first;
        }
        std::fprintf(stderr, "velvoria: %s and %s: the GL_EXT_gpu_shader4 path did not build; "
                             "the plain path is used\n",
                     vertexPath.c_str(), fragmentPath.c_str());
    }
}

ShaderProgram::ShaderProgram(const char* vertexPath, const char* fragmentPath)
    : vertexPath(vertexPath), fragmentPath(fragmentPath) {
    stampFiles();
    build(vertexShader, fragmentShader, program);
    registry().push_back(this);
}

ShaderProgram::~ShaderProgram() {
    std::vector<ShaderProgram*>& programs = registry();
    programs.erase(std::remove(programs.begin(), programs.end(), this), programs.end());
    delete vertexShader;
    delete fragmentShader;
    delete program;
}

const std::vector<ShaderProgram*>& ShaderProgram::all() { return registry(); }

void ShaderProgram::stampFiles() {
    vertexStamp = fileStamp(vertexPath.c_str());
    fragmentStamp = fileStamp(fragmentPath.c_str());
}

bool ShaderProgram::changedOnDisk() {
    return fileStamp(vertexPath.c_str()) != vertexStamp || fileStamp(fragmentPath.c_str()) != fragmentStamp;
}

bool ShaderProgram::rebuild(std::string& log) {
    // Stamped first: a file that is still broken is not tried again every
    // frame, only when it changes once more.
    stampFiles();
    Shader* vertex = nullptr;
    Shader* fragment = nullptr;
    Program* linked = nullptr;
    try {
        build(vertex, fragment, linked);
    } catch (const Quib::Exception& e) {
        log = e.getMessage().cStr() ? e.getMessage().cStr() : "";
        return false;
    }
    delete vertexShader;
    delete fragmentShader;
    delete program;
    vertexShader = vertex;
    fragmentShader = fragment;
    program = linked;
    return true;
}
