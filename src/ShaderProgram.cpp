#include "ShaderProgram.h"

#include <algorithm>

namespace {

std::vector<ShaderProgram*>& registry() {
    static std::vector<ShaderProgram*> programs;
    return programs;
}

}  // namespace

ShaderProgram::ShaderProgram(const char* vertexPath, const char* fragmentPath)
    : vertexPath(vertexPath), fragmentPath(fragmentPath) {
    stampFiles();
    try {
        vertexShader = new Shader(vertexPath, GL_VERTEX_SHADER);
        fragmentShader = new Shader(fragmentPath, GL_FRAGMENT_SHADER);
        program = new Program(vertexShader, fragmentShader);
    } catch (...) {
        delete vertexShader;
        delete fragmentShader;
        throw;
    }
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
        vertex = new Shader(vertexPath.c_str(), GL_VERTEX_SHADER);
        fragment = new Shader(fragmentPath.c_str(), GL_FRAGMENT_SHADER);
        linked = new Program(vertex, fragment);
    } catch (const Quib::Exception& e) {
        delete vertex;
        delete fragment;
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
