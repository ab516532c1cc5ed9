#include <glm/glm.hpp>

#include <string>

#include "GLContext.h"
#include "Program.h"
#include "Shader.h"
#include "ShaderProgram.h"

namespace {

const char* vertexSource =
    "void main() { gl_Position = gl_Vertex; }\n";

// Every setter form feeds the colour, so one pixel shows whether all arrived.
const char* fragmentSource =
    "uniform vec3 Colour;\n"
    "uniform float Scale;\n"
    "uniform int Select;\n"
    "uniform mat4 Swizzle;\n"
    "void main() {\n"
    "    vec4 c = Swizzle * vec4(Colour * Scale, 1.0);\n"
    "    gl_FragColor = Select == 2 ? c : vec4(1.0, 0.0, 1.0, 1.0);\n"
    "}\n";

std::string sourceFile(const std::string& name, const std::string& text) {
    std::string path = tempPath(name);
    writeFile(path, text);
    return path;
}

// Runs f, which must throw a Quib::Exception, and returns it.
template <typename F>
Quib::Exception thrown(F f) {
    try {
        f();
    } catch (const Quib::Exception& e) {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return Quib::Exception("", "", 0);
}

using ShaderTest = GLTest;

TEST_F(ShaderTest, CompilesBothKinds) {
    Shader vertex(sourceFile("ok.vert", vertexSource).c_str(), GL_VERTEX_SHADER);
    Shader fragment(sourceFile("ok.frag", fragmentSource).c_str(), GL_FRAGMENT_SHADER);
    EXPECT_TRUE(testProcs().isShader(vertex.id));
    EXPECT_EQ(vertex.type, static_cast<GLenum>(GL_VERTEX_SHADER));
    EXPECT_EQ(fragment.type, static_cast<GLenum>(GL_FRAGMENT_SHADER));
}

TEST_F(ShaderTest, RefusesOtherTypesBeforeReadingTheFile) {
    Quib::Exception e = thrown([] { Shader("no/such/file.geom", GL_GEOMETRY_SHADER); });
    EXPECT_STREQ(e.getMessage().cStr(), "Invalid shader type specified");
    EXPECT_STREQ(e.getFile().cStr(), "src\\Shader");
    EXPECT_EQ(e.getLine(), 6);
}

TEST_F(ShaderTest, MissingFileFailsInTheReader) {
    Quib::Exception e = thrown([] { Shader("no/such/file.vert", GL_VERTEX_SHADER); });
    EXPECT_STREQ(e.getFile().cStr(), "src\\File");
    EXPECT_NE(std::string(e.getMessage().cStr()).find("\"no/such/file.vert\""), std::string::npos);
}

TEST_F(ShaderTest, CompileFailureCarriesTheLog) {
    std::string path = sourceFile("bad.frag", "void main() { gl_FragColor = vec4(1.0) }\n");
    Quib::Exception e = thrown([&] { Shader(path.c_str(), GL_FRAGMENT_SHADER); });
    std::string message = e.getMessage().cStr();
    const std::string head = "Shader compile failed:\n";
    EXPECT_EQ(message.compare(0, head.size(), head), 0) << message;
    EXPECT_GT(message.size(), head.size()) << "the driver's log is missing";
    EXPECT_STREQ(e.getFile().cStr(), "src\\Shader");
    EXPECT_EQ(e.getLine(), 22);
}

class ProgramTest : public GLTest {
protected:
    void SetUp() override {
        GLTest::SetUp();
        if (IsSkipped())
            return;
        vertex = new Shader(sourceFile("p.vert", vertexSource).c_str(), GL_VERTEX_SHADER);
        fragment = new Shader(sourceFile("p.frag", fragmentSource).c_str(), GL_FRAGMENT_SHADER);
    }
    void TearDown() override {
        delete fragment;
        delete vertex;
        GLTest::TearDown();
    }
    Shader* vertex = nullptr;
    Shader* fragment = nullptr;
};

TEST_F(ProgramTest, UniformsOfEveryFormReachTheShader) {
    Program program(vertex, fragment);
    EXPECT_EQ(program.vertexShader, vertex);
    EXPECT_EQ(program.fragmentShader, fragment);

    program.use();
    program.setUniform("Colour", glm::vec3(0.2f, 0.4f, 0.6f));
    program.setUniform("Scale", 2.0f);
    program.setUniform("Select", 2);
    // Column-major: rotates the components to (b, r, g).
    glm::mat4 swizzle(0.0f);
    swizzle[0][1] = 1.0f;  // r -> g
    swizzle[1][2] = 1.0f;  // g -> b
    swizzle[2][0] = 1.0f;  // b -> r
    swizzle[3][3] = 1.0f;
    program.setUniform("Swizzle", swizzle);

    glViewport(0, 0, 64, 64);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glRecti(-1, -1, 1, 1);
    program.unuse();

    unsigned char pixel[4] = {};
    glReadPixels(32, 32, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    EXPECT_NEAR(pixel[0], 255, 2);  // b: 0.6 * 2 clamps
    EXPECT_NEAR(pixel[1], 102, 2);  // r: 0.4
    EXPECT_NEAR(pixel[2], 204, 2);  // g: 0.8
}

TEST_F(ProgramTest, UnknownUniformNamesAreHarmless) {
    Program program(vertex, fragment);
    program.use();
    program.setUniform("NoSuchUniform", 1.0f);
    program.setUniform("NoSuchUniform", glm::vec3(1.0f));
    program.setUniform("NoSuchUniform", 3);
    program.setUniform("NoSuchUniform", glm::mat4(1.0f));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    program.unuse();
}

TEST_F(ProgramTest, DestroyingLeavesNoProgramCurrentAndKeepsTheShaders) {
    GLuint id;
    {
        Program program(vertex, fragment);
        id = program.id;
        program.use();
    }
    GLint current = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(current, 0);
    EXPECT_FALSE(testProcs().isProgram(id));
    EXPECT_TRUE(testProcs().isShader(vertex->id));
    EXPECT_TRUE(testProcs().isShader(fragment->id));
}

TEST_F(ProgramTest, NullShadersAreRefused) {
    for (int which = 0; which < 2; ++which) {
        Quib::Exception e = thrown([&] { Program(which ? vertex : nullptr, which ? nullptr : fragment); });
        EXPECT_STREQ(e.getMessage().cStr(), "Invalid vertex or fragment shader.");
        EXPECT_STREQ(e.getFile().cStr(), "src\\Program");
        EXPECT_EQ(e.getLine(), 6);
    }
}

TEST_F(ProgramTest, LinkFailureCarriesTheLog) {
    // Declared, called, never defined: compiles, cannot link.
    Shader broken(sourceFile("unlinked.frag", "vec4 shade();\nvoid main() { gl_FragColor = shade(); }\n").c_str(),
                  GL_FRAGMENT_SHADER);
    Quib::Exception e = thrown([&] { Program program(vertex, &broken); });
    std::string message = e.getMessage().cStr();
    const std::string head = "Program link failed:\n";
    EXPECT_EQ(message.compare(0, head.size(), head), 0) << message;
    EXPECT_GT(message.size(), head.size());
    EXPECT_STREQ(e.getFile().cStr(), "src\\Program");
    EXPECT_EQ(e.getLine(), 21);
}

}  // namespace

namespace {

// The red the program draws over a cleared 64 x 64 viewport.
int drawnRed(ShaderProgram& program) {
    glViewport(0, 0, 64, 64);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    program.use();
    glRecti(-1, -1, 1, 1);
    program.unuse();
    unsigned char pixel[4] = {};
    glReadPixels(32, 32, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    return pixel[0];
}

std::string redShader(const char* red) {
    return std::string("void main() { gl_FragColor = vec4(") + red + ", 0.0, 0.0, 1.0); }\n";
}

}  // namespace

using ShaderProgramTest = GLTest;

TEST_F(ShaderProgramTest, RebuildsFromChangedFilesAndKeepsTheOldProgramOnAnError) {
    std::string vert = sourceFile("r.vert", vertexSource);
    std::string frag = sourceFile("r.frag", redShader("0.2"));
    ShaderProgram program(vert.c_str(), frag.c_str());
    EXPECT_FALSE(program.changedOnDisk());
    EXPECT_NEAR(drawnRed(program), 51, 2);

    // A typo: the rebuild fails with the compiler's log, the old program stays.
    writeFile(frag, "void main() { gl_FragColor = vec4(1.0) }\n");
    ASSERT_TRUE(program.changedOnDisk());
    std::string log;
    GLuint before = program.get().id;
    EXPECT_FALSE(program.rebuild(log));
    EXPECT_NE(log.find("Shader compile failed:"), std::string::npos) << log;
    EXPECT_FALSE(program.changedOnDisk()) << "a broken file is tried once, not every frame";
    EXPECT_EQ(program.get().id, before);
    EXPECT_TRUE(testProcs().isProgram(before));
    EXPECT_NEAR(drawnRed(program), 51, 2);

    // Fixed: the new program replaces the old one.
    writeFile(frag, redShader("0.8"));
    ASSERT_TRUE(program.changedOnDisk());
    EXPECT_TRUE(program.rebuild(log));
    EXPECT_NEAR(drawnRed(program), 204, 2);
    EXPECT_FALSE(testProcs().isProgram(before));
}

TEST_F(ShaderProgramTest, AFailedBuildThrowsAndLeavesNothingRegistered) {
    size_t alive = ShaderProgram::all().size();
    std::string vert = sourceFile("f.vert", vertexSource);
    std::string frag = sourceFile("f.frag", "void main() { nonsense }\n");
    EXPECT_THROW(ShaderProgram(vert.c_str(), frag.c_str()), Quib::Exception);
    EXPECT_EQ(ShaderProgram::all().size(), alive);
    {
        ShaderProgram ok(vert.c_str(), sourceFile("g.frag", redShader("1.0")).c_str());
        EXPECT_EQ(ShaderProgram::all().size(), alive + 1);
    }
    EXPECT_EQ(ShaderProgram::all().size(), alive);
}

TEST_F(ShaderProgramTest, AnExtensionPathThatFailsFallsBackToThePlainPath) {
    // Compiles only where the driver's GL_EXT_gpu_shader4 is taken away.
    const std::string twoPaths = "#version 120\n"
                                 "#extension GL_EXT_gpu_shader4 : enable\n"
                                 "#ifdef GL_EXT_gpu_shader4\n"
                                 "#error the extension path is broken\n"
                                 "#endif\n" +
                                 redShader("0.6");
    std::string vert = sourceFile("p.vert", vertexSource);
    std::string frag = sourceFile("p.frag", twoPaths);
    ShaderProgram program(vert.c_str(), frag.c_str());
    EXPECT_NEAR(drawnRed(program), 153, 2);

    // Both paths broken: the extension path's failure is the one told.
    writeFile(frag, "#version 120\n#ifdef GL_EXT_gpu_shader4\n#error first\n#else\n#error second\n#endif\n");
    std::string log;
    EXPECT_FALSE(program.rebuild(log));
    EXPECT_NE(log.find("first"), std::string::npos) << log;
    EXPECT_EQ(log.find("second"), std::string::npos) << log;
    EXPECT_THROW(ShaderProgram(vert.c_str(), frag.c_str()), Quib::Exception);

    // Forced onto the plain path, a sound extension path is not used.
    writeFile(frag, "#version 120\n#ifdef GL_EXT_gpu_shader4\n" + redShader("1.0") + "#else\n" +
                        redShader("0.2") + "#endif\n");
    setenv("VELVORIA_PLAIN_SHADERS", "1", 1);
    EXPECT_TRUE(program.rebuild(log)) << log;
    unsetenv("VELVORIA_PLAIN_SHADERS");
    EXPECT_NEAR(drawnRed(program), 51, 2);
    EXPECT_TRUE(program.rebuild(log)) << log;
    EXPECT_NEAR(drawnRed(program), 255, 2);
}
