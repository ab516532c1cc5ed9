#include <SDL.h>

#include <set>
#include <string>
#include <vector>

#include "GLContext.h"
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
