#define VELVORIA_WEBGL_OWN_CALLS
#include "platform/web/WebGL.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "GLError.h"

namespace {

// --- GLSL 1.20 to GLSL ES 3.00 -----------------------------------------------

bool identifierStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool identifierPart(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The replacement of one identifier, or null to keep it.
const char* esName(const std::string& word, bool vertex) {
    if (word == "GL_EXT_gpu_shader4") return "VELVORIA_ES3";  // GL_ names are reserved in ES
    if (word == "varying") return vertex ? "out" : "in";
    if (word == "attribute") return "in";
    if (word == "texture2D" || word == "textureCube") return "texture";
    if (word == "texelFetch2D") return "texelFetch";
    if (word == "gl_Vertex") return "velvoria_Vertex";
    if (word == "gl_MultiTexCoord0") return "velvoria_MultiTexCoord0";
    if (word == "gl_FragColor") return "velvoria_FragColor";
    if (word == "gl_FragData") return "velvoria_FragData";
    return nullptr;
}

bool startsWith(const std::string& line, const char* word) {
    size_t i = line.find_first_not_of(" \t");
    return i != std::string::npos && line.compare(i, std::string(word).size(), word) == 0;
}

// GL_CLAMP with a linear filter blends the edge texels with the border
// colour, black, out to half a texel inside the edge; ES 3.0 has only clamp
// to edge. A read of a texture that clamps so (border: its size in texels
// along each clamped axis, 0 along the others) is a clamp-to-edge read
// darkened by the share of the filter's footprint that lies outside.
const char* const borderPrefix = "velvoria_Border_";
const char* const borderRead =
    "vec4 velvoria_texture(sampler2D s, vec2 border, vec2 p)\n"
    "{\n"
    "    vec2 u = clamp(p, 0.0, 1.0);\n"
    "    vec2 f = mix(vec2(1.0), clamp(min(u, 1.0 - u) * border + 0.5, 0.0, 1.0), step(0.5, border));\n"
    "    return texture(s, p) * (f.x * f.y);\n"
    "}\n";

// --- the calls ES 3.0 lacks ---------------------------------------------------

struct Vertex {
    float x, y, z;
    float s, t;
    float r, g, b, a;
};

struct State {
    bool ready = false;
    GLuint quad = 0;       // the corners (-1,-1) .. (1,1) as glRecti gives them
    GLuint immediate = 0;  // what glBegin .. glEnd collected, as triangles
    GLuint fixedProgram = 0;
    GLint fixedTexture = -1, fixedTextured = -1;
    bool texture2D = false;
    float s = 0, t = 0;
    float colour[4] = {1, 1, 1, 1};
    std::vector<Vertex> quads, triangles;
    std::vector<GLint> viewports;
    // Per texture: its size, and whether it clamps to the border along s, t.
    std::map<GLuint, std::array<float, 2>> sizes;
    std::map<GLuint, std::array<bool, 2>> clamped;
    // Per program: its samplers that read through velvoria_texture, as
    // (sampler location, border location).
    std::map<GLuint, std::vector<std::pair<GLint, GLint>>> borders;
    // The texture unit of each sampler set, per program and location; a
    // read back from the driver would wait for all the drawing before it.
    std::map<std::pair<GLuint, GLint>, GLint> units;
};

GLuint currentProgram() {
    GLint program = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    return GLuint(program);
}

State& state() {
    static State s;
    return s;
}

const char* const fixedVertex = R"(#version 300 es
layout(location = 0) in vec4 velvoria_Vertex;
layout(location = 1) in vec4 velvoria_MultiTexCoord0;
layout(location = 2) in vec4 velvoria_Color;
out vec2 TexCoord;
out vec4 Colour;
void main()
{
    TexCoord = velvoria_MultiTexCoord0.xy;
    Colour = velvoria_Color;
    gl_Position = velvoria_Vertex;
}
)";

// GL_MODULATE of the texture unit's image with the colour, as fixed function.
const char* const fixedFragment = R"(#version 300 es
precision highp float;
uniform sampler2D Tex;
uniform bool Textured;
in vec2 TexCoord;
in vec4 Colour;
layout(location = 0) out vec4 FragColor;
void main()
{
    FragColor = Textured ? texture(Tex, TexCoord) * Colour : Colour;
}
)";

GLuint compile(GLenum type, const char* source) {
    GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    return shader;
}

void prepare() {
    State& s = state();
    if (s.ready)
        return;
    s.ready = true;
    const float corners[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
    glGenBuffers(1, &s.quad);
    glBindBuffer(GL_ARRAY_BUFFER, s.quad);
    glBufferData(GL_ARRAY_BUFFER, sizeof corners, corners, GL_STATIC_DRAW);
    glGenBuffers(1, &s.immediate);
    glBindBuffer(GL_ARRAY_BUFFER, 0);

    GLuint vertex = compile(GL_VERTEX_SHADER, fixedVertex);
    GLuint fragment = compile(GL_FRAGMENT_SHADER, fixedFragment);
    s.fixedProgram = glCreateProgram();
    glAttachShader(s.fixedProgram, vertex);
    glAttachShader(s.fixedProgram, fragment);
    glLinkProgram(s.fixedProgram);
    glDeleteShader(vertex);
    glDeleteShader(fragment);
    s.fixedTexture = glGetUniformLocation(s.fixedProgram, "Tex");
    s.fixedTextured = glGetUniformLocation(s.fixedProgram, "Textured");
}

// The names of the sampler2D uniforms a source declares.
std::vector<std::string> samplerNames(const std::string& source) {
    std::vector<std::string> names;
    const std::string declaration = "sampler2D";
    for (size_t at = source.find(declaration); at != std::string::npos; at = source.find(declaration, at + 1)) {
        size_t start = source.find_first_not_of(" \t", at + declaration.size());
        size_t end = start;
        while (end < source.size() && identifierPart(source[end]))
            ++end;
        size_t line = source.rfind('\n', at);
        line = line == std::string::npos ? 0 : line + 1;
        if (end > start && startsWith(source.substr(line, at - line), "uniform"))
            names.push_back(source.substr(start, end - start));
    }
    return names;
}

GLuint bound2D() {
    GLint texture = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
    return GLuint(texture);
}

// Tells the current program's reads which of their textures clamp to the
// border, and how large those are.
void setBorders() {
    GLuint program = currentProgram();
    if (program == 0)
        return;
    State& s = state();
    auto found = s.borders.find(program);
    if (found == s.borders.end()) {
        std::vector<std::pair<GLint, GLint>>& list = s.borders[program];
        GLint count = 0;
        glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &count);
        const size_t prefix = std::strlen(borderPrefix);
        for (GLint i = 0; i < count; ++i) {
            char name[256];
            GLint size = 0;
            GLenum type = 0;
            glGetActiveUniform(program, GLuint(i), sizeof name, nullptr, &size, &type, name);
            if (std::strncmp(name, borderPrefix, prefix) == 0 && name[prefix] != 0) {
                GLint sampler = glGetUniformLocation(program, name + prefix);
                if (sampler >= 0)
                    list.emplace_back(sampler, glGetUniformLocation(program, name));
            }
        }
        found = s.borders.find(program);
    }
    if (found->second.empty())
        return;
    GLint active = GL_TEXTURE0;
    glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
    for (const std::pair<GLint, GLint>& read : found->second) {
        auto set = s.units.find({program, read.first});
        GLint unit = set == s.units.end() ? 0 : set->second;  // samplers start at unit 0
        glActiveTexture(GLenum(GL_TEXTURE0 + unit));
        GLuint texture = bound2D();
        std::array<bool, 2> axes = s.clamped.count(texture) ? s.clamped[texture] : std::array<bool, 2>{};
        std::array<float, 2> size = s.sizes.count(texture) ? s.sizes[texture] : std::array<float, 2>{};
        glUniform2f(read.second, axes[0] ? size[0] : 0.0f, axes[1] ? size[1] : 0.0f);
    }
    glActiveTexture(GLenum(active));
}

// One line of a GLSL 1.20 shader in its GLSL ES 3.00 form, onto body:
// names that ES spells otherwise, and texture2D reads of a sampler that
// may clamp to GL_CLAMP's black border. fragData counts the gl_FragData
// outputs written.
void translateLine(const std::string& line, bool vertex, const std::vector<std::string>& samplers,
                   std::string& body, int& fragData) {
    for (size_t i = 0; i < line.size();) {
        char c = line[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            size_t j = i;
            while (j < line.size() && (identifierPart(line[j]) || line[j] == '.'))
                ++j;
            body.append(line, i, j - i);
            i = j;
        } else if (identifierStart(c)) {
            size_t j = i;
            while (j < line.size() && identifierPart(line[j]))
                ++j;
            std::string word = line.substr(i, j - i);
            // texture2D(Name, p): a read that knows whether Name's texture
            // clamps to GL_CLAMP's black border.
            size_t open = line.find_first_not_of(" \t", j);
            if (word == "texture2D" && open != std::string::npos && line[open] == '(') {
                size_t k = line.find_first_not_of(" \t", open + 1), e = k;
                while (e < line.size() && identifierPart(line[e]))
                    ++e;
                std::string name = k == std::string::npos ? "" : line.substr(k, e - k);
                if (std::find(samplers.begin(), samplers.end(), name) != samplers.end()) {
                    body += "velvoria_texture(" + name + ", " + borderPrefix + name;
                    i = e;
                    continue;
                }
            }
            const char* es = esName(word, vertex);
            body += es ? es : word;
            if (word == "gl_FragData") {
                size_t k = line.find_first_not_of(" \t[", j);
                if (k != std::string::npos && std::isdigit(static_cast<unsigned char>(line[k])))
                    fragData = std::max(fragData, std::atoi(line.c_str() + k) + 1);
            }
            i = j;
        } else {
            body += c;
            ++i;
        }
    }
    body += '\n';
}

// What a translated shader declares before its own lines: the version,
// precisions, the inputs or outputs ES wants declared, the border reads.
std::string esPrelude(bool vertex, int fragData, const std::vector<std::string>& samplers) {
    std::string prelude =
        "#version 300 es\n"
        "precision highp float;\n"
        "precision highp int;\n"
        "precision highp sampler2D;\n"
        "precision highp samplerCube;\n"
        "#define VELVORIA_ES3 1\n";
    if (vertex) {
        prelude += "layout(location = 0) in vec4 velvoria_Vertex;\n"
                   "layout(location = 1) in vec4 velvoria_MultiTexCoord0;\n";
    } else if (fragData > 0) {
        prelude += "layout(location = 0) out vec4 velvoria_FragData[" + std::to_string(fragData) + "];\n";
    } else {
        prelude += "layout(location = 0) out vec4 velvoria_FragColor;\n";
    }
    if (!samplers.empty()) {
        for (const std::string& name : samplers)
            prelude += "uniform vec2 " + std::string(borderPrefix) + name + ";\n";
        prelude += borderRead;
    }
    return prelude;
}

}  // namespace

std::string translateToGlslEs(const std::string& source, GLenum type) {
    if (source.find("#version 300 es") != std::string::npos)
        return source;
    const bool vertex = type == GL_VERTEX_SHADER;
    const std::vector<std::string> samplers = samplerNames(source);
    std::string body;
    int fragData = 0;
    size_t lineStart = 0;
    while (lineStart < source.size()) {
        size_t end = source.find('\n', lineStart);
        if (end == std::string::npos)
            end = source.size();
        std::string line = source.substr(lineStart, end - lineStart);
        lineStart = end + 1;
        if (startsWith(line, "#version") || startsWith(line, "#extension"))
            body += '\n';  // the line numbers stay those of the file
        else
            translateLine(line, vertex, samplers, body, fragData);
    }
    return esPrelude(vertex, fragData, samplers) + "#line 1\n" + body;
}

void webglShaderSource(GLuint shader, GLsizei count, const GLchar* const* strings, const GLint* lengths) {
    std::string source;
    for (GLsizei i = 0; i < count; ++i)
        source.append(strings[i], lengths && lengths[i] >= 0 ? size_t(lengths[i]) : std::string(strings[i]).size());
    GLint type = 0;
    glGetShaderiv(shader, GL_SHADER_TYPE, &type);
    std::string es = translateToGlslEs(source, GLenum(type));
    const GLchar* text = es.c_str();
    glShaderSource(shader, 1, &text, nullptr);
}

void glRecti(GLint x1, GLint y1, GLint x2, GLint y2) {
    if (x1 != -1 || y1 != -1 || x2 != 1 || y2 != 1) {
        glBegin(GL_QUADS);
        glVertex2i(x1, y1);
        glVertex2i(x2, y1);
        glVertex2i(x2, y2);
        glVertex2i(x1, y2);
        glEnd();
        return;
    }
    State& s = state();
    prepare();
    setBorders();
    glBindBuffer(GL_ARRAY_BUFFER, s.quad);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
    glDisableVertexAttribArray(1);
    glDisableVertexAttribArray(2);
    glDrawArrays(GL_TRIANGLE_FAN, 0, 4);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

void glBegin(GLenum) { state().quads.clear(); }

void glTexCoord2f(GLfloat s, GLfloat t) {
    state().s = s;
    state().t = t;
}

void glTexCoord2i(GLint s, GLint t) { glTexCoord2f(GLfloat(s), GLfloat(t)); }

void glColor4f(GLfloat r, GLfloat g, GLfloat b, GLfloat a) {
    float* c = state().colour;
    c[0] = r;
    c[1] = g;
    c[2] = b;
    c[3] = a;
}

void glColor3f(GLfloat r, GLfloat g, GLfloat b) { glColor4f(r, g, b, 1.0f); }

void glVertex3f(GLfloat x, GLfloat y, GLfloat z) {
    State& s = state();
    s.quads.push_back({x, y, z, s.s, s.t, s.colour[0], s.colour[1], s.colour[2], s.colour[3]});
}

void glVertex2i(GLint x, GLint y) { glVertex3f(GLfloat(x), GLfloat(y), 0.0f); }

void glEnd() {
    State& s = state();
    prepare();
    // Each quad a, b, c, d as the triangles a, b, c and a, c, d.
    s.triangles.clear();
    for (size_t q = 0; q + 3 < s.quads.size(); q += 4)
        for (int k : {0, 1, 2, 0, 2, 3})
            s.triangles.push_back(s.quads[q + size_t(k)]);
    if (s.triangles.empty())
        return;

    GLint program = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    if (program == 0) {
        GLint unit = GL_TEXTURE0;
        glGetIntegerv(GL_ACTIVE_TEXTURE, &unit);
        glUseProgram(s.fixedProgram);
        glUniform1i(s.fixedTexture, unit - GL_TEXTURE0);
        glUniform1i(s.fixedTextured, s.texture2D ? 1 : 0);
    } else {
        setBorders();
    }
    glBindBuffer(GL_ARRAY_BUFFER, s.immediate);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(s.triangles.size() * sizeof(Vertex)), s.triangles.data(),
                 GL_STREAM_DRAW);
    const GLsizei stride = sizeof(Vertex);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(Vertex, x)));
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(Vertex, s)));
    glEnableVertexAttribArray(2);
    glVertexAttribPointer(2, 4, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(offsetof(Vertex, r)));
    glDrawArrays(GL_TRIANGLES, 0, GLsizei(s.triangles.size()));
    glDisableVertexAttribArray(1);
    glDisableVertexAttribArray(2);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    if (program == 0)
        glUseProgram(0);
}

void glPushAttrib(GLbitfield) {
    GLint viewport[4];
    glGetIntegerv(GL_VIEWPORT, viewport);
    state().viewports.insert(state().viewports.end(), viewport, viewport + 4);
}

void glPopAttrib() {
    std::vector<GLint>& saved = state().viewports;
    if (saved.size() < 4)
        return;
    const GLint* v = &saved[saved.size() - 4];
    glViewport(v[0], v[1], v[2], v[3]);
    saved.resize(saved.size() - 4);
}

namespace {

// Whether ES 3.0 knows the capability; the engine's others only concern
// desktop GL (smooth lines and points, seamless cube maps, which ES 3.0
// always has) or fixed-function texturing, which the credits' program does.
bool esCapability(GLenum capability) {
    return capability != GL_TEXTURE_2D && capability != GL_LINE_SMOOTH && capability != GL_POINT_SMOOTH &&
           capability != GL_TEXTURE_CUBE_MAP_SEAMLESS;
}

}  // namespace

void webglEnable(GLenum capability) {
    if (capability == GL_TEXTURE_2D)
        state().texture2D = true;
    if (esCapability(capability))
        glEnable(capability);
}

void webglDisable(GLenum capability) {
    if (capability == GL_TEXTURE_2D)
        state().texture2D = false;
    if (esCapability(capability))
        glDisable(capability);
}

void webglUniform1i(GLint location, GLint value) {
    state().units[{currentProgram(), location}] = value;
    glUniform1i(location, value);
}

void webglHint(GLenum target, GLenum mode) {
    if (target != GL_LINE_SMOOTH_HINT && target != GL_POINT_SMOOTH_HINT)
        glHint(target, mode);
}

void webglTexParameterf(GLenum target, GLenum name, GLfloat value) {
    if (target == GL_TEXTURE_2D && (name == GL_TEXTURE_WRAP_S || name == GL_TEXTURE_WRAP_T)) {
        bool border = GLenum(value) == GL_CLAMP;
        state().clamped[bound2D()][name == GL_TEXTURE_WRAP_S ? 0 : 1] = border;
        if (border)
            value = GLfloat(GL_CLAMP_TO_EDGE);  // and the reads add the border
    }
    glTexParameterf(target, name, value);
}

void webglTexImage2D(GLenum target, GLint level, GLint internalFormat, GLsizei width, GLsizei height, GLint border,
                     GLenum format, GLenum type, const void* pixels) {
    // Render-target storage (no pixels) in the formats ES 3.0 can render to.
    if (!pixels && internalFormat == GL_RGB16F) {
        internalFormat = GL_RGBA16F;
        format = GL_RGBA;
        type = GL_HALF_FLOAT;
    } else if (!pixels && internalFormat == GL_R8) {
        format = GL_RED;
        type = GL_UNSIGNED_BYTE;
    }
    // A new image: a texture made under a name freed before starts with
    // the default wrap.
    if (target == GL_TEXTURE_2D && level == 0) {
        GLuint texture = bound2D();
        state().sizes[texture] = {float(width), float(height)};
        state().clamped.erase(texture);
    }
    glTexImage2D(target, level, internalFormat, width, height, border, format, type, pixels);
}

// GLU's texts, which the browser does not have.
Quib::String glErrorMessage(GLenum error) {
    const char* text = nullptr;
    switch (error) {
    case GL_NO_ERROR: text = "no error"; break;
    case GL_INVALID_ENUM: text = "invalid enumerant"; break;
    case GL_INVALID_VALUE: text = "invalid value"; break;
    case GL_INVALID_OPERATION: text = "invalid operation"; break;
    case GL_OUT_OF_MEMORY: text = "out of memory"; break;
    case GL_INVALID_FRAMEBUFFER_OPERATION: text = "invalid framebuffer operation"; break;
    }
    if (text)
        return Quib::String("GL error has occurred: ") + text;
    char code[32];
    std::snprintf(code, sizeof code, "unknown error 0x%04X", static_cast<unsigned>(error));
    return Quib::String("GL error has occurred: ") + code;
}
