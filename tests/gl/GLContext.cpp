#include "GLContext.h"

#include <SDL.h>

#include <cstdlib>
#include <fstream>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

#include "Window.h"

namespace {

GLWindow* window = nullptr;
TestProcs procs;

void* sdlLookup(const char* name) {
    return SDL_GL_GetProcAddress(name);
}

template <typename T>
void fetch(T& pointer, const char* name) {
    pointer = reinterpret_cast<T>(SDL_GL_GetProcAddress(name));
}

class ContextEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (!std::getenv("DISPLAY"))
            return;
        window = new GLWindow();
        try {
            window->create("Velvoria GL tests", false, 64, 64, Window::productionStyle);
            loadExtensions(sdlLookup);
        } catch (const Quib::Exception& e) {
            ADD_FAILURE() << e.getMessage().cStr();
            delete window;
            window = nullptr;
            return;
        }
        fetch(procs.getFramebufferAttachmentParameteriv, "glGetFramebufferAttachmentParameteriv");
        fetch(procs.getRenderbufferParameteriv, "glGetRenderbufferParameteriv");
        fetch(procs.checkFramebufferStatus, "glCheckFramebufferStatus");
        fetch(procs.isFramebuffer, "glIsFramebuffer");
        fetch(procs.isRenderbuffer, "glIsRenderbuffer");
        fetch(procs.isShader, "glIsShader");
        fetch(procs.isProgram, "glIsProgram");
    }
    void TearDown() override {
        delete window;
        window = nullptr;
    }
};

}  // namespace

bool haveGLContext() {
    return window != nullptr;
}

const TestProcs& testProcs() {
    return procs;
}

void reloadExtensions() {
    loadExtensions(sdlLookup);
}

void GLTest::SetUp() {
    if (!haveGLContext()) {
        GTEST_SKIP() << "no X display for a GL context";
    }
    while (glGetError() != GL_NO_ERROR) {
    }
}

void GLTest::TearDown() {
    if (haveGLContext()) {
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    }
}

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "velvoria_gl_" + name;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void writePng(const std::string& path, int width, int height, int components,
              const std::vector<unsigned char>& pixels) {
    ASSERT_TRUE(stbi_write_png(path.c_str(), width, height, components, pixels.data(), width * components));
}

void writeJpeg(const std::string& path, int width, int height, int components,
               const std::vector<unsigned char>& pixels) {
    ASSERT_TRUE(stbi_write_jpg(path.c_str(), width, height, components, pixels.data(), 100));
}

int countTextureNames() {
    int count = 0;
    for (GLuint name = 1; name <= 4096; ++name)
        count += glIsTexture(name) ? 1 : 0;
    return count;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ContextEnvironment);
    return RUN_ALL_TESTS();
}
