#include <gtest/gtest.h>

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Extensions.h"
#include "Window.h"
#include "XHelpers.h"

namespace {

const uint32_t captionStyle = Window::productionStyle;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY") || !x.ok()) {
            GTEST_SKIP() << "no X display";
        }
    }

    // Lets the window's events arrive and be drained.
    static void pump(Window& window, int milliseconds = 200) {
        for (int waited = 0; waited < milliseconds; waited += 10) {
            window.update();
            SDL_Delay(10);
        }
        window.update();
    }

    // Drains the window's events until the condition holds, for up to ten
    // seconds: a busy machine delivers them late.
    template <typename Condition>
    static bool pumpUntil(Window& window, Condition condition) {
        for (Uint32 start = SDL_GetTicks(); SDL_GetTicks() - start < 10000; SDL_Delay(10)) {
            window.update();
            if (condition())
                return true;
        }
        return false;
    }

    // Counts the releases of Escape as they reach SDL's queue: once one has
    // been drained, every key sent before it has been too.
    struct EscapeReleases {
        EscapeReleases() { SDL_AddEventWatch(count, &seen); }
        ~EscapeReleases() { SDL_DelEventWatch(count, &seen); }
        static int count(void* seen, SDL_Event* event) {
            if (event->type == SDL_KEYUP && event->key.keysym.sym == SDLK_ESCAPE)
                ++*static_cast<int*>(seen);
            return 0;
        }
        int seen = 0;
    };

    static Quib::Exception createFailure(Window& window, const char* title) {
        try {
            window.create(title, false, 64, 64, captionStyle);
        } catch (const Quib::Exception& e) {
            return e;
        }
        ADD_FAILURE() << "create did not throw";
        return Quib::Exception("", "", 0);
    }

    XProbe x;
};

TEST_F(WindowTest, WindowedClientAreaTitleAndContext) {
    const char* title = "Velvoria windowed";
    GLWindow window;
    EXPECT_FALSE(window.isOpen());
    window.create(title, false, 320, 200, captionStyle);
    pump(window);
    EXPECT_TRUE(window.isOpen());
    EXPECT_EQ(window.getWidth(), 320);
    EXPECT_EQ(window.getHeight(), 200);
    EXPECT_FLOAT_EQ(window.getAspectRatio(), 1.6f);

    unsigned long id = x.find(title);
    ASSERT_NE(id, 0ul);
    int left, top, width, height;
    ASSERT_TRUE(x.geometry(id, &left, &top, &width, &height));
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 200);

    // Double-buffered, 24-bit depth, and a compatibility context that takes
    // the immediate-mode quad the passes draw.
    GLint depthBits = 0;
    GLboolean doubleBuffered = GL_FALSE;
    glGetIntegerv(GL_DEPTH_BITS, &depthBits);
    glGetBooleanv(GL_DOUBLEBUFFER, &doubleBuffered);
    EXPECT_GE(depthBits, 24);
    EXPECT_TRUE(doubleBuffered);
    glRecti(-1, -1, 1, 1);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(SDL_GL_GetCurrentContext(), window.renderContext);
}

TEST_F(WindowTest, FullscreenCoversTheDisplayAndHidesTheCursor) {
    const char* title = "Velvoria fullscreen";
    GLWindow window;
    window.create(title, true, 1280, 720, captionStyle);
    pump(window, 300);
    EXPECT_TRUE(window.isOpen());
    EXPECT_EQ(window.getWidth(), 1280);
    EXPECT_EQ(window.getHeight(), 720);
    EXPECT_FLOAT_EQ(window.getAspectRatio(), 1280.0f / 720.0f);

    unsigned long id = x.find(title);
    ASSERT_NE(id, 0ul);
    int left, top, width, height;
    ASSERT_TRUE(x.geometry(id, &left, &top, &width, &height));
    EXPECT_EQ(left, 0);
    EXPECT_EQ(top, 0);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    int screenWidth, screenHeight;
    x.screenSize(&screenWidth, &screenHeight);
    EXPECT_EQ(screenWidth, 1280);
    EXPECT_EQ(screenHeight, 720);

    SDL_DisplayMode mode;
    ASSERT_EQ(SDL_GetWindowDisplayMode(window.handle, &mode), 0);
    EXPECT_EQ(mode.w, 1280);
    EXPECT_EQ(mode.h, 720);
    EXPECT_EQ(SDL_BYTESPERPIXEL(mode.format), 4);
    EXPECT_TRUE(SDL_GetWindowFlags(window.handle) & SDL_WINDOW_FULLSCREEN);
    EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_DISABLE);
}

// A failed create keeps the registration it made, as a registered window
// class would stay registered, so later windows of the process cannot open:
// run it in a process of its own.
void failFullscreenThenRetry() {
    Window window;
    try {
        window.create("Velvoria odd mode", true, 1234, 567, captionStyle);
        std::fprintf(stderr, "made a fullscreen window in a mode the display lacks\n");
        std::exit(1);
    } catch (const Quib::Exception& e) {
        if (std::string(e.getMessage().cStr()) != "Could not create fullscreen window" ||
            std::string(e.getFile().cStr()) != "src\\Window" || e.getLine() != 54) {
            std::fprintf(stderr, "wrong failure: %s\n", e.getMessage().cStr());
            std::exit(2);
        }
    }
    if (window.isOpen())
        std::exit(3);
    Window next;
    try {
        next.create("Velvoria after the failure", false, 64, 64, captionStyle);
    } catch (const Quib::Exception& e) {
        std::fprintf(stderr, "%s\n", e.getMessage().cStr());
        std::exit(e.getLine() == 44 ? 0 : 4);
    }
    std::exit(5);
}

TEST_F(WindowTest, FullscreenNeedsTheDisplayModeAndAFailureKeepsTheRegistration) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(failFullscreenThenRetry(), ::testing::ExitedWithCode(0), "Could not register window class");
}

TEST_F(WindowTest, TitleChangesOnlyWhileOpen) {
    GLWindow window;
    window.setTitle("Velvoria never shown");  // closed: nothing happens
    window.create("Velvoria first title", false, 64, 64, captionStyle);
    window.setTitle("Orvanth - Velvoria");
    pump(window, 50);
    unsigned long id = x.find("Orvanth - Velvoria");
    ASSERT_NE(id, 0ul);
    EXPECT_EQ(x.name(id), "Orvanth - Velvoria");
    EXPECT_EQ(x.find("Velvoria first title"), 0ul);
}

TEST_F(WindowTest, SizeChangesReachTheFields) {
    const char* title = "Velvoria resized";
    GLWindow window;
    window.create(title, false, 320, 200, captionStyle);
    pump(window, 50);
    window.setSize(400, 300);
    pump(window);
    EXPECT_EQ(window.getWidth(), 400);
    EXPECT_EQ(window.getHeight(), 300);
    int left, top, width, height;
    ASSERT_TRUE(x.geometry(x.find(title), &left, &top, &width, &height));
    EXPECT_EQ(width, 400);
    EXPECT_EQ(height, 300);
}

TEST_F(WindowTest, CloseTearsDownOnceAndLetsTheNextWindowOpen) {
    const char* title = "Velvoria closing";
    GLWindow first;
    first.create(title, false, 64, 64, captionStyle);
    pump(first, 50);
    ASSERT_NE(x.find(title), 0ul);

    // One open window at a time, as with a registered window class.
    GLWindow second;
    Quib::Exception e = createFailure(second, "Velvoria second");
    EXPECT_STREQ(e.getMessage().cStr(), "Could not register window class");
    EXPECT_STREQ(e.getFile().cStr(), "src\\Window");
    EXPECT_EQ(e.getLine(), 44);
    EXPECT_FALSE(second.isOpen());

    first.close();
    EXPECT_FALSE(first.isOpen());
    EXPECT_EQ(SDL_GL_GetCurrentContext(), nullptr);
    first.close();
    first.update();
    x.sync();
    EXPECT_EQ(x.find(title), 0ul);

    second.create("Velvoria second", false, 64, 64, captionStyle);
    EXPECT_TRUE(second.isOpen());
}

TEST_F(WindowTest, EscapeIsRememberedAcrossPressAndRelease) {
    if (std::system("command -v xdotool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xdotool is not installed";
    }
    const char* title = "Velvoria escape";
    GLWindow window;
    window.create(title, false, 64, 64, captionStyle);
    pump(window);
    EXPECT_FALSE(window.escapePressed());
    unsigned long id = x.find(title);
    ASSERT_NE(id, 0ul);

    // Press and release both happen before the next drain.
    EscapeReleases releases;
    std::string command = "xdotool windowfocus --sync " + std::to_string(id) + " key Escape";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(pumpUntil(window, [&] { return releases.seen == 1; }));
    EXPECT_FALSE(SDL_GetKeyboardState(nullptr)[SDL_SCANCODE_ESCAPE]) << "the release has not arrived";
    EXPECT_TRUE(window.escapePressed());
    EXPECT_FALSE(window.escapePressed());
    EXPECT_TRUE(window.isOpen());
}

TEST_F(WindowTest, CloseRequestIsRememberedAndTheWindowStays) {
    const char* title = "Velvoria close request";
    GLWindow window;
    window.create(title, false, 64, 64, captionStyle);
    pump(window);
    EXPECT_FALSE(window.closeRequested());

    std::string command = std::string(XCLOSE_PATH) + " \"" + title + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(pumpUntil(window, [&] { return window.closeRequested(); }));
    EXPECT_TRUE(window.isOpen());
    pump(window, 20);
    EXPECT_TRUE(window.closeRequested());
    EXPECT_NE(x.find(title), 0ul);

    // No such window: xclose says so.
    EXPECT_NE(std::system((std::string(XCLOSE_PATH) + " \"Velvoria no such window\" 2>/dev/null").c_str()), 0);
}

}  // namespace

TEST_F(WindowTest, TransportKeysAreReportedInOrderOnlyWhenAskedFor) {
    if (std::system("command -v xdotool >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xdotool is not installed";
    }
    const char* title = "Velvoria keys";
    GLWindow window;
    window.create(title, false, 64, 64, captionStyle);
    pump(window);
    unsigned long id = x.find(title);
    ASSERT_NE(id, 0ul);
    std::string command = "xdotool windowfocus --sync " + std::to_string(id) +
                          " key space Right Left Next Prior Home a Escape";
    EscapeReleases releases;
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(pumpUntil(window, [&] { return releases.seen == 1; }));
    EXPECT_TRUE(window.takeKeyPresses().empty()) << "collected without being asked";
    EXPECT_TRUE(window.escapePressed());

    window.reportKeys = true;
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(pumpUntil(window, [&] { return releases.seen == 2; }));
    using K = Window::Key;
    std::vector<K> expected = {K::Space, K::Right, K::Left, K::PageDown, K::PageUp, K::Home};
    EXPECT_EQ(window.takeKeyPresses(), expected);
    EXPECT_TRUE(window.takeKeyPresses().empty());
    EXPECT_TRUE(window.escapePressed());
}
