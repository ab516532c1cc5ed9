// The Demo driver against a real context: the end of the production, the
// error check after a frame, the GL state a frame leaves behind, the pass
// marks it hands on to a listener, and the targets made again at a new size.
#include <unistd.h>

#include <vector>

#include "Demo.h"
#include "FixedAudio.h"
#include "GLContext.h"
#include "Screen.h"
#include "Sync.h"
#include "Texture.h"
#include "post/BloomChain.h"
#include "post/PerkProc.h"

namespace {

class DemoTest : public GLTest {
protected:
    void SetUp() override {
        GLTest::SetUp();
        if (!IsSkipped()) {
            ASSERT_EQ(chdir(SOURCE_DIR), 0);  // the production's Data/
        }
    }
};

GLint integer(GLenum name) {
    GLint value = -1;
    glGetIntegerv(name, &value);
    return value;
}

}  // namespace

TEST_F(DemoTest, RendersUpToButNotAtSixtyFourSeconds) {
    FixedAudio player;
    Demo demo(&player);
    player.setPosition(63.999);
    EXPECT_TRUE(demo.tick());
    player.setPosition(64.0);
    EXPECT_FALSE(demo.tick());
    player.setPosition(70.0);
    EXPECT_FALSE(demo.tick());
    EXPECT_EQ(Sync::instance().getTime(), 70.0);
}

TEST_F(DemoTest, TheClockForgetsThePlayerOfAFinishedDemo) {
    FixedAudio player;
    player.setPosition(30.0);
    {
        Demo demo(&player);
        EXPECT_EQ(Sync::instance().getTime(), 30.0);
    }
    EXPECT_EQ(Sync::instance().getValue("Part"), 0.0f);  // no player: nothing is read
    EXPECT_LT(Sync::instance().getTime(), 30.0);         // the wall clock since the clock began
}

TEST_F(DemoTest, BuildsTheSingletonsBeforeTheFirstFrame) {
    FixedAudio player;
    Demo demo(&player);
    RenderTarget* scene = PerkProc::instance().sceneTarget;
    ASSERT_NE(scene, nullptr);
    EXPECT_EQ(scene->width, 1280);
    EXPECT_EQ(scene->height, 720);
    EXPECT_NE(scene->depthRenderbuffer, 0u);
    BloomChain& bloom = BloomChain::instance();
    EXPECT_EQ(bloom.downTargets[0]->width, 512);
    EXPECT_EQ(bloom.downTargets[2]->width, 128);
    EXPECT_EQ(bloom.blurTargets[1]->height, 128);
    ASSERT_NE(bloom.bokehTexture, nullptr);
    EXPECT_GE(bloom.bokehTexture->width, 512);
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_CUBE_MAP_SEAMLESS));
    EXPECT_EQ(integer(GL_DEPTH_FUNC), GL_LEQUAL);
}

TEST_F(DemoTest, AFrameLeavesTheStateItFound) {
    FixedAudio player;
    Demo demo(&player);
    player.setPosition(30.0);
    ASSERT_TRUE(demo.tick());
    EXPECT_EQ(integer(GL_FRAMEBUFFER_BINDING), 0);
    EXPECT_EQ(integer(GL_CURRENT_PROGRAM), 0);
    EXPECT_EQ(integer(GL_ACTIVE_TEXTURE), GL_TEXTURE0);
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
    GLfloat clear[4] = {1, 1, 1, 1};
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    EXPECT_EQ(clear[0] + clear[1] + clear[2] + clear[3], 0.0f);
}

TEST_F(DemoTest, AnErrorAfterAFrameIsFatal) {
    FixedAudio player;
    Demo demo(&player);
    player.setPosition(12.0);
    glEnable(0x1234);  // GL_INVALID_ENUM, still pending when the frame ends
    try {
        demo.tick();
        ADD_FAILURE() << "no exception";
    } catch (const Quib::Exception& e) {
        EXPECT_STREQ(e.getMessage().cStr(), "GL error has occurred: invalid enumerant");
        EXPECT_STREQ(e.getFile().cStr(), "Demo");
        EXPECT_EQ(e.getLine(), 42);
    }
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));  // only one flag is read
}

TEST_F(DemoTest, MarksEachPassToTheListenerItWasGivenWhileItLives) {
    FixedAudio player;
    player.setPosition(30.0);
    std::vector<Pass> marks;
    PassHook hook;
    hook.listener = [](void* context, Pass pass) { static_cast<std::vector<Pass>*>(context)->push_back(pass); };
    hook.context = &marks;
    {
        Demo demo(&player);
        demo.setPassHook(hook);
        ASSERT_TRUE(demo.tick());
        EXPECT_EQ(marks, (std::vector<Pass>{Pass::GBuffer, Pass::Occlusion, Pass::SkyAndComposite,
                                            Pass::FinalPass, Pass::Bloom, Pass::Credits, Pass::End}));
    }
    // The scene outlives its demo; the listener must not.
    marks.clear();
    Demo next(&player);
    ASSERT_TRUE(next.tick());
    EXPECT_TRUE(marks.empty());
}

TEST_F(DemoTest, ResizingMakesTheTargetsAgainAtTheNewSize) {
    FixedAudio player;
    player.setPosition(30.0);
    Demo demo(&player);
    ASSERT_TRUE(demo.tick());
    struct BackToTheReference {
        Demo& demo;
        ~BackToTheReference() { demo.resize(frameWidth, frameHeight); }  // the other tests' size
    } restore{demo};
    PerkProc& perkProc = PerkProc::instance();
    BloomChain& bloom = BloomChain::instance();
    for (int height : {1080, 720}) {
        int width = height * 16 / 9;
        demo.resize(width, height);
        EXPECT_EQ(renderWidth(), width);
        EXPECT_EQ(perkProc.sceneTarget->width, width);
        EXPECT_EQ(perkProc.sceneTarget->height, height);
        EXPECT_EQ(bloom.fullTarget->height, height);
        EXPECT_EQ(bloom.downTargets[0]->width, 512 * height / 720);  // the bloom scales with the frame
        EXPECT_EQ(bloom.blurTargets[1]->height, 128 * height / 720);
        glViewport(0, 0, width, height);
        EXPECT_TRUE(demo.tick());  // and a frame draws with them, without a GL error
    }
}
