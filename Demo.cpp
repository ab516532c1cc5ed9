#include "Demo.h"

#include "GLError.h"
#include "Sync.h"
#include "Window.h"
#include "platform/Platform.h"
#include "post/BloomChain.h"
#include "post/PerkProc.h"
#include "scene/Sphurrs.h"

Demo::Demo() {
    build(&audio);
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
    if (t >= endTime)
        return false;
    effects[0]->render(t);
    glFlush();
    GLenum error = glGetError();
    if (error != GL_NO_ERROR)
        throw Quib::Exception(glErrorMessage(error), "Demo", 42);
    sleepMilliseconds(1);
    return true;
}

int appMain() {
    enterProgramDirectory();
    try {
        GLWindow window;
        window.create("Orvanth - Velvoria", true, 1280, 720, 0x00CA0000);
        loadExtensions(lookUpGLProcedure);
        {
            Demo demo;
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
        window.close();
        return 0;
    } catch (const Quib::Exception& e) {
        // The demo and the window are gone by now, newest first.
        showFatalError(e.getMessage().cStr());
        return 1;
    }
}
