#include "post/BloomChain.h"

#include <algorithm>
#include <cmath>

#include "Screen.h"
#include "ShaderProgram.h"
#include "Texture.h"

namespace {

// The small targets' sides for the reference frame; they scale with the
// rendered frame, so the bloom covers the same share of any size.
const int downSides[3] = {512, 256, 128};
const int blurSide = 128;

int scaled(int side) { return std::max(1, int(std::lround(side * renderScale()))); }

// The small targets clamp at their edges, so the blur does not wrap.
void clampEdges(RenderTarget* target) {
    glBindTexture(GL_TEXTURE_2D, target->colourTextures[0]->id);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, float(GL_CLAMP));
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, float(GL_CLAMP));
    glBindTexture(GL_TEXTURE_2D, 0);
}

template <typename T>
void destroy(T*& p) {
    delete p;
    p = nullptr;
}

}  // namespace

BloomChain& BloomChain::instance() {
    static BloomChain chain;
    return chain;
}

BloomChain::BloomChain() {
    try {
        downTargets = new RenderTarget*[3]();
        blurTargets = new RenderTarget*[2]();
        resizeTargets();
        blitProgram = new ShaderProgram("Data/Blit.vert", "Data/Blit.frag");
        blurProgram = new ShaderProgram("Data/Blit.vert", "Data/Blur.frag");
        mixProgram = new ShaderProgram("Data/Blit.vert", "Data/Mix.frag");
        bokehTexture = new Texture("Data/bokehfuckyou.jpg");
    } catch (...) {
        release();
        throw;
    }
}

BloomChain::~BloomChain() { release(); }

void BloomChain::releaseTargets() {
    destroy(fullTarget);
    for (int i = 0; i < 3; ++i) {
        if (downTargets)
            destroy(downTargets[i]);
        if (blurTargets && i < 2)
            destroy(blurTargets[i]);
    }
}

void BloomChain::resizeTargets() {
    releaseTargets();
    fullTarget = new RenderTarget(renderWidth(), renderHeight(), true, 1, GL_RGBA);
    for (int i = 0; i < 3; ++i)
        downTargets[i] = new RenderTarget(scaled(downSides[i]), scaled(downSides[i]), false, 1, GL_RGBA);
    for (int i = 0; i < 3; ++i)
        clampEdges(downTargets[i]);
    for (int i = 0; i < 2; ++i) {
        blurTargets[i] = new RenderTarget(scaled(blurSide), scaled(blurSide), false, 1, GL_RGBA);
        clampEdges(blurTargets[i]);
    }
}

void BloomChain::release() {
    releaseTargets();
    delete[] downTargets;
    downTargets = nullptr;
    delete[] blurTargets;
    blurTargets = nullptr;
    destroy(blitProgram);
    destroy(blurProgram);
    destroy(mixProgram);
    destroy(bokehTexture);
}

void BloomChain::blur() {
    glPushAttrib(GL_VIEWPORT_BIT);
    glDisable(GL_DEPTH_TEST);

    // Three downsampling passes: full size to 512, 256 and 128.
    RenderTarget* source = fullTarget;
    for (int i = 0; i < 3; ++i) {
        int side = downTargets[i]->width;
        glViewport(0, 0, side, side);
        if (i == 0) {
            blitProgram->use();
            blitProgram->setUniform("Tex", 0);
        }
        blitProgram->setUniform("Width", float(side));
        blitProgram->setUniform("Height", float(side));
        glBindFramebuffer(GL_FRAMEBUFFER, downTargets[i]->framebuffer);
        if (i == 0)
            glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, source->colourTextures[0]->id);
        glRecti(-1, -1, 1, 1);
        source = downTargets[i];
    }

    // Six blur passes, ping-ponging between the two 128 x 128 targets; the
    // first reads the last downsampled image.
    blurProgram->use();
    blurProgram->setUniform("Tex", 0);
    blurProgram->setUniform("Delta", 1.0f);
    glBindFramebuffer(GL_FRAMEBUFFER, blurTargets[1]->framebuffer);
    glBindTexture(GL_TEXTURE_2D, downTargets[2]->colourTextures[0]->id);
    glRecti(-1, -1, 1, 1);
    for (int i = 0; i < 5; ++i) {
        blurProgram->setUniform("Delta", i == 0 ? 1.0f : 0.25f);
        glBindTexture(GL_TEXTURE_2D, 0);  // never read the target being written
        glBindFramebuffer(GL_FRAMEBUFFER, blurTargets[i % 2]->framebuffer);
        glBindTexture(GL_TEXTURE_2D, blurTargets[1 - i % 2]->colourTextures[0]->id);
        glRecti(-1, -1, 1, 1);
    }

    glBindFramebuffer(GL_FRAMEBUFFER, screenFramebuffer());
    glBindTexture(GL_TEXTURE_2D, 0);
    blurProgram->unuse();
    glPopAttrib();
}

void BloomChain::mix(float intensity, float bgIntensity) {
    bokehTexture->bind(2);
    blurTargets[0]->colourTextures[0]->bind(1);
    fullTarget->colourTextures[0]->bind(0);
    mixProgram->use();
    mixProgram->setUniform("Tex", 0);
    mixProgram->setUniform("BlurTex", 1);
    mixProgram->setUniform("BokehTex", 2);
    mixProgram->setUniform("Intensity", intensity);
    mixProgram->setUniform("BgIntensity", bgIntensity);
    glRecti(-1, -1, 1, 1);
    mixProgram->unuse();
}
