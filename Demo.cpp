#include "Demo.h"

#include <cstdio>
#include <exception>
#include <string>

#include "edit/EditSession.h"
#include "FrameSize.h"
#include "GLError.h"
#include "Options.h"
#include "Screen.h"
#include "Sync.h"
#include "Version.h"
#include "Window.h"
#include "platform/Platform.h"
#include "post/BloomChain.h"
#include "post/PerkProc.h"
#include "scene/Sphurrs.h"

Demo::Demo(Music music, Mode mode, int audioOffset) {
    if (mode == Mode::Edit)
        editing.reset(new EditClock(audio, wallClockMilliseconds));
    build(editing ? static_cast<Audio*>(editing.get()) : &audio);
    audio.setAudioOffset(audioOffset);
    if (music == Music::Off)
        audio.mute();
    audio.play(musicFile);
}

Demo::Demo(Audio* clock) { build(clock); }

void Demo::build(Audio* clock) {
    Sync& sync = Sync::instance();
    sync.setAudio(clock);
    sync.setRowRate(rowRate);
    try {
        buildScene();
    } catch (...) {
        sync.setAudio(nullptr);  // the clock must not keep a player that is about to go
        throw;
    }
}

void Demo::buildScene() {
    glHint(GL_LINE_SMOOTH_HINT, GL_NICEST);
    glHint(GL_POINT_SMOOTH_HINT, GL_NICEST);
    glEnable(GL_LINE_SMOOTH);
    glEnable(GL_POINT_SMOOTH);
    glLineWidth(1.0f);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_TEXTURE_CUBE_MAP_SEAMLESS);

    // Every shader, image and target is made here, before the music starts.
    PerkProc::instance();
    BloomChain::instance();
    static Sphurrs sphurrs;
    effects.add(&sphurrs);
}

Demo::~Demo() {
    setPassHook(PassHook());  // the effects live on; the listener may not
    effects.clear();
    // The clock outlives the player; it must not read a destroyed one.
    Sync::instance().setAudio(nullptr);
}

void Demo::setPassHook(PassHook hook) {
    for (int i = 0; i < effects.count; ++i)
        effects[i]->passHook = hook;
}

bool Demo::tick() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    static_cast<Audio&>(audio).update();
    double t = Sync::instance().getTime();
    if (t >= endTime) {
        if (!editing)
            return false;
        // Editing: the production stops at its end and stays there.
        if (editing->isPlaying()) {
            editing->pause();
            editing->setPosition(endTime);
            t = Sync::instance().getTime();  // the frame shows where it holds
        }
    }
    effects[0]->render(t);
    glFlush();
    if (errorCheckDue()) {
        GLenum error = glGetError();
        if (error != GL_NO_ERROR)
            throw Quib::Exception(glErrorMessage(error), "Demo", 42);
    }
    sleepMilliseconds(1);
    return true;
}

#ifdef __EMSCRIPTEN__
bool Demo::checkErrorsEveryFrame = false;

bool Demo::errorCheckDue() {
    uint32_t now = wallClockMilliseconds();
    bool due = checkErrorsEveryFrame || ticks < 3 || now - lastErrorCheck >= errorCheckMilliseconds;
    ++ticks;
    if (due)
        lastErrorCheck = now;
    return due;
}
#else
bool Demo::errorCheckDue() { return true; }
#endif

void Demo::resize(int width, int height) {
    if (width == renderWidth() && height == renderHeight())
        return;
    setRenderSize(width, height);
    PerkProc::instance().resizeTargets();
    BloomChain::instance().resizeTargets();
    for (int i = 0; i < effects.count; ++i)
        effects[i]->resizeTargets();
}

// The browser has an entry of its own (platform/web/WebMain.cpp): no
// window, options or frame loop of this kind there.
#ifndef __EMSCRIPTEN__
namespace {

// What the command line asks before anything opens: the usage, the version,
// a value that is refused. -1 to go on, else the exit status.
int answerOptions(const Options& options) {
    if (!options.error.empty()) {
        std::fprintf(stderr, "%s\n%s", options.error.c_str(), usageText);
        return 2;
    }
    if (options.version) {
        std::printf("velvoria %s\n", velvoriaVersion);
        return 0;
    }
    if (options.help) {
        std::fputs(usageText, stdout);
        std::printf("\nvelvoria %s\n", velvoriaVersion);
        return 0;
    }
    return -1;
}

// --display N names a monitor there is: 2 with a line when it does not.
int checkDisplay(const Options& options) {
    if (options.display != 0) {
        int displays = Window::displayCount();
        if (displays >= 0 && options.display >= displays) {
            std::fprintf(stderr, "velvoria: --display %d: there is no such display (%d found)\n",
                         options.display, displays);
            return 2;
        }
    }
    return 0;
}

// The production's window: fullscreen by default, a resizable window for
// --windowed and the editing mode; the picture's size for --native.
void openWindow(GLWindow& window, const Options& options) {
    window.displayIndex = options.display;
    window.desktop = options.mode == Options::Mode::Desktop;
    window.vsync = options.vsync;
    if (options.mode == Options::Mode::Windowed || options.edit)
        window.create("Orvanth - Velvoria", false, frameWidth, frameHeight,
                      Window::productionStyle | Window::resizableFrame);
    else
        window.create("Orvanth - Velvoria", true, frameWidth, frameHeight, Window::productionStyle);
    loadExtensions(lookUpGLProcedure);
    if (options.native) {
        // The largest 16:9 picture the drawable holds, up to 3840x2160.
        int w = 0, h = 0;
        window.drawableSize(w, h);
        fitFrame(w, h, 1, w, h);
        setRenderSize(w, h);
    }
    if (options.mode != Options::Mode::Fullscreen || options.edit)
        window.startScaledPresentation();
}

void play(GLWindow& window, const Options& options) {
    Demo demo(options.mute ? Demo::Music::Off : Demo::Music::On, Demo::Mode::Play, options.audioOffset);
    for (;;) {
        if (window.escapePressed())
            break;
        // A close request of the window ends the production like Escape.
        if (window.closeRequested())
            break;
        if (!window.isOpen())
            break;
        if (!demo.tick())
            break;
        window.update();
    }
}

void edit(GLWindow& window, const Options& options) {
    Demo demo(options.mute ? Demo::Music::Off : Demo::Music::On, Demo::Mode::Edit, options.audioOffset);
    EditSession session(window, *demo.editClock(), Demo::rowRate, Demo::endTime, options.editorHost,
                        options.editorPort);
    while (!window.escapePressed() && !window.closeRequested() && window.isOpen()) {
        session.frame();
        if (!demo.tick())
            break;
        window.update();
    }
}

}  // namespace

int appMain(const Quib::List<Quib::String>& arguments) {
    Options options = parseOptions(arguments);
    int answered = answerOptions(options);
    if (answered >= 0)
        return answered;
    silenceLibraries();
    keepFreedMemory();
    if (int refused = checkDisplay(options))
        return refused;
    enterProgramDirectory();
    // Whatever a library throws still ends in the fatal path; the message
    // is then the library's own.
    std::string unexpected;
    try {
        GLWindow window;
        openWindow(window, options);
        if (options.edit)
            edit(window, options);
        else
            play(window, options);
        window.close();
        return 0;
    } catch (const Quib::Exception& e) {
        // The demo and the window are gone by now, newest first.
        showFatalError(e.getMessage().cStr());
        return 1;
    } catch (const std::exception& e) {
        unexpected = std::string("Unexpected error: ") + e.what();
    } catch (...) {
        unexpected = "Unexpected error";
    }
    showFatalError(unexpected.c_str());
    return 1;
}
#endif  // __EMSCRIPTEN__
