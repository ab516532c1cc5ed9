#include "post/PerkProc.h"

#include "Screen.h"
#include "ShaderProgram.h"
#include "Sync.h"
#include "Texture.h"

PerkProc& PerkProc::instance() {
    static PerkProc pass;
    return pass;
}

PerkProc::PerkProc() {
    try {
        resizeTargets();
        program = new ShaderProgram("Data/PerkProc.vert", "Data/PerkProc.frag");
    } catch (...) {
        release();
        throw;
    }
}

PerkProc::~PerkProc() { release(); }

void PerkProc::release() {
    delete sceneTarget;
    sceneTarget = nullptr;
    delete program;
    program = nullptr;
}

void PerkProc::resizeTargets() {
    delete sceneTarget;  // the old one goes first: two at 3840x2160 may not fit
    sceneTarget = nullptr;
    sceneTarget = new RenderTarget(renderWidth(), renderHeight(), true, 1, GL_RGBA);
}

void PerkProc::apply(float mix) {
    Sync& sync = Sync::instance();
    program->use();
    sceneTarget->colourTextures[0]->bind(0);
    program->setUniform("Tex", 0);
    program->setUniform("Time", float(sync.getTime()));
    program->setUniform("Distortion", sync.getValue("Distortion"));
    program->setUniform("Distortion2", sync.getValue("Distortion2"));
    program->setUniform("Flash", sync.getValue("Flash"));
    program->setUniform("Mix", mix);
    program->setUniform("Invert", sync.getValue("Invert"));
    glRecti(-1, -1, 1, 1);
    glBindTexture(GL_TEXTURE_2D, 0);
    program->unuse();
}
