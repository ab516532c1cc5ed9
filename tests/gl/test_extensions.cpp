#include <SDL.h>

#include <set>
#include <string>
#include <vector>

#include "GLContext.h"
#include "Capabilities.h"
#include "GLError.h"

namespace {

std::vector<std::string> asked;
std::set<std::string> withheld;

// SDL's look-up, except for the names a test withholds; records every ask.
void* withholdingLookup(const char* name) {
    asked.push_back(name);
    if (withheld.count(name))
        return nullptr;
    return SDL_GL_GetProcAddress(name);
}

class LoaderTest : public GLTest {
protected:
    void SetUp() override {
        GLTest::SetUp();
        asked.clear();
        withheld.clear();
    }
    void TearDown() override {
        withheld.clear();
        if (haveGLContext())
            reloadExtensions();
        GLTest::TearDown();
    }

    // The message of the loader's failure; fails the test when it loads.
    std::string failureMessage() {
        try {
            loadExtensions(withholdingLookup);
        } catch (const Quib::Exception& e) {
            EXPECT_STREQ(e.getFile().cStr(), "src\\Extensions");
            EXPECT_EQ(e.getLine(), 10);
            return e.getMessage().cStr();
        }
        ADD_FAILURE() << "loadExtensions did not throw";
        return "";
    }
};

TEST_F(LoaderTest, FetchesTheFortyTwoNamesInTableOrder) {
    loadExtensions(withholdingLookup);
    ASSERT_EQ(asked.size(), 42u);
    EXPECT_EQ(std::set<std::string>(asked.begin(), asked.end()).size(), 42u);
    EXPECT_EQ(asked[0], "glTexImage3D");
    EXPECT_EQ(asked[1], "glCreateShader");
    EXPECT_EQ(asked[15], "glActiveTexture");
    EXPECT_EQ(asked[18], "glUniform2f");
    EXPECT_EQ(asked[25], "glUniformMatrix4fv");
    EXPECT_EQ(asked[34], "glFramebufferTextureLayer");
    EXPECT_EQ(asked[36], "glDrawBuffers");
    EXPECT_EQ(asked[41], "glClientActiveTexture");
    EXPECT_NE(velvoria_glClientActiveTexture, nullptr);
}

TEST_F(LoaderTest, AnUncalledProcedureIsStillRequired) {
    withheld = {"glFramebufferTextureLayer"};
    EXPECT_EQ(failureMessage(), "Could not load extension procedure: glFramebufferTextureLayer");
    // Stored as fetched: the earlier pointers are set, the later ones never fetched.
    EXPECT_NE(velvoria_glFramebufferTexture2D, nullptr);
    EXPECT_EQ(velvoria_glFramebufferTextureLayer, nullptr);
    EXPECT_EQ(asked.back(), "glFramebufferTextureLayer");
    EXPECT_EQ(asked.size(), 35u);
}

TEST_F(LoaderTest, TheFirstMissingNameIsReported) {
    withheld = {"glDrawBuffers", "glUniform2f"};
    EXPECT_EQ(failureMessage(), "Could not load extension procedure: glUniform2f");
}

TEST(GLErrorMessage, NamesTheErrorOrItsCode) {
    EXPECT_STREQ(glErrorMessage(GL_INVALID_VALUE).cStr(), "GL error has occurred: invalid value");
    EXPECT_STREQ(glErrorMessage(GL_INVALID_ENUM).cStr(), "GL error has occurred: invalid enumerant");
    EXPECT_STREQ(glErrorMessage(0x1234).cStr(), "GL error has occurred: unknown error 0x1234");
}

}  // namespace

TEST(Capabilities, TheFirstMissingOneIsNamed) {
    GLFacts full;
    full.version = "2.1 Mesa 22.3.6";
    full.shadingVersion = "1.20";
    full.extensions = "GL_ARB_framebuffer_object GL_ARB_texture_float GL_ARB_texture_rg GL_ARB_seamless_cube_map";
    full.drawBuffers = full.colourAttachments = 8;
    full.textureUnits = 16;
    EXPECT_EQ(missingCapability(full), "");

    auto without = [&](const std::string& name) {
        GLFacts f = full;
        f.extensions.erase(f.extensions.find(name), name.size());
        return missingCapability(f);
    };
    EXPECT_EQ(without("GL_ARB_texture_float"), "This needs OpenGL 3.0 or GL_ARB_texture_float");
    EXPECT_EQ(without("GL_ARB_texture_rg"), "This needs OpenGL 3.0 or GL_ARB_texture_rg");
    EXPECT_EQ(without("GL_ARB_seamless_cube_map"), "This needs OpenGL 3.2 or GL_ARB_seamless_cube_map");
    EXPECT_EQ(without("GL_ARB_framebuffer_object"), "This needs OpenGL 3.0 or GL_ARB_framebuffer_object");

    // A name inside a longer one does not count.
    GLFacts prefixed = full;
    prefixed.extensions = "GL_ARB_framebuffer_object GL_ARB_texture_float_linear GL_ARB_texture_rg "
                          "GL_ARB_seamless_cube_map";
    EXPECT_EQ(missingCapability(prefixed), "This needs OpenGL 3.0 or GL_ARB_texture_float");

    // The version covers what it made core; 3.1 still lacks seamless cube maps.
    GLFacts core = full;
    core.extensions = "";
    core.version = "3.1 Mesa";
    EXPECT_EQ(missingCapability(core), "This needs OpenGL 3.2 or GL_ARB_seamless_cube_map");
    core.version = "4.5 (Compatibility Profile) Mesa 22.3.6";
    EXPECT_EQ(missingCapability(core), "");

    GLFacts old = full;
    old.version = "1.4 Mesa";
    EXPECT_EQ(missingCapability(old), "This needs OpenGL 2.1");
    old.version = "";
    EXPECT_EQ(missingCapability(old), "This needs OpenGL 2.1");
    old = full;
    old.shadingVersion = "1.10";
    EXPECT_EQ(missingCapability(old), "This needs GLSL 1.20");
    old = full;
    old.drawBuffers = 1;
    EXPECT_EQ(missingCapability(old), "This needs three draw buffers");
    old = full;
    old.textureUnits = 2;
    EXPECT_EQ(missingCapability(old), "This needs four texture units");
}
