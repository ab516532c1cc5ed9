#include "scene/Sphurrs.h"

#include <glm/gtc/matrix_transform.hpp>

#include "CubeTexture.h"
#include "Screen.h"
#include "ShaderProgram.h"
#include "Sync.h"
#include "Texture.h"
#include "post/BloomChain.h"
#include "post/PerkProc.h"
#include "scene/Camera.h"
#include "scene/SphereField.h"

const Credit creditTable[Sphurrs::creditCount] = {
    {"Data/orvanth1.png", "Orvanth1 Fade"}, {"Data/tuvek.png", "tuvek Fade"},
    {"Data/zandol.png", "zandol Fade"},     {"Data/pemrix.png", "pemrix Fade"},
    {"Data/plenk.png", "PLENK Fade"},       {"Data/velvoria.png", "Velvoria Fade"},
    {"Data/orvanth2.png", "Orvanth2 Fade"}, {"Data/dravi.png", "Dravi Fade"},
};

namespace {

// The sky box: a cube of half-size 100 around the origin, textured from the
// same cross image as the environment, read in the sky's own layout.
struct SkyVertex {
    float u, v, x, y, z;
};
const SkyVertex skyBox[24] = {
    // -z
    {0.3334f, 0.5f, -100, -100, -100}, {0.6666f, 0.5f, 100, -100, -100},
    {0.6666f, 0.25f, 100, 100, -100},  {0.3334f, 0.25f, -100, 100, -100},
    // +y
    {0.3334f, 0.25f, -100, 100, -100}, {0.6666f, 0.25f, 100, 100, -100},
    {0.6666f, 0.0f, 100, 100, 100},    {0.3334f, 0.0f, -100, 100, 100},
    // +z
    {0.3334f, 1.0f, -100, 100, 100},   {0.6666f, 1.0f, 100, 100, 100},
    {0.6666f, 0.75f, 100, -100, 100},  {0.3334f, 0.75f, -100, -100, 100},
    // -y
    {0.3334f, 0.75f, -100, -100, 100}, {0.6666f, 0.75f, 100, -100, 100},
    {0.6666f, 0.5f, 100, -100, -100},  {0.3334f, 0.5f, -100, -100, -100},
    // +x
    {0.6666f, 0.5f, 100, -100, -100},  {0.98f, 0.5f, 100, -100, 100},
    {0.98f, 0.25f, 100, 100, 100},     {0.6666f, 0.25f, 100, 100, -100},
    // -x
    {0.02f, 0.5f, -100, -100, 100},    {0.3334f, 0.5f, -100, -100, -100},
    {0.3334f, 0.25f, -100, 100, -100}, {0.02f, 0.25f, -100, 100, 100},
};

template <typename T>
void destroy(T*& p) {
    delete p;
    p = nullptr;
}

}  // namespace

Sphurrs::Sphurrs() {
    try {
        for (int i = 0; i < sphereCount; ++i)
            spheres.add(Sphurr());
        resizeTargets();
        sphurrProgram = new ShaderProgram("Data/Sphurr.vert", "Data/Sphurr.frag");
        occlusionProgram = new ShaderProgram("Data/SphurrOcclusion.vert", "Data/SphurrOcclusion.frag");
        mixProgram = new ShaderProgram("Data/Blit.vert", "Data/SphurrMix.frag");
        skyProgram = new ShaderProgram("Data/LolSky.vert", "Data/LolSky.frag");
        envCube = new CubeTexture("Data/blurry.jpg");
        skyTexture = new Texture("Data/blurry.jpg");
        for (int k = 0; k < creditCount; ++k)
            credits[k] = new Texture(creditTable[k].image);
    } catch (...) {
        // What was built is released; the caller sees the exception.
        release();
        throw;
    }
}

Sphurrs::~Sphurrs() { release(); }

void Sphurrs::release() {
    destroy(gBuffer);
    destroy(occlusionTarget);
    destroy(sphurrProgram);
    destroy(occlusionProgram);
    destroy(mixProgram);
    destroy(skyProgram);
    destroy(envCube);
    destroy(skyTexture);
    for (Texture*& credit : credits)
        destroy(credit);
    spheres.clear();
}

void Sphurrs::resizeTargets() {
    destroy(gBuffer);  // the old ones go first: two sets at 3840x2160 may not fit
    destroy(occlusionTarget);
    gBuffer = new RenderTarget(renderWidth(), renderHeight(), true, 3, GL_RGB16F);
    occlusionTarget = new RenderTarget(renderWidth(), renderHeight(), false, 1, GL_R8);
}

void Sphurrs::updateSpheres(double t) { updateSphereField(spheres, placed, t, Sync::instance()); }

void Sphurrs::render(double t) {
    Sync& sync = Sync::instance();

    // Camera.
    float aspect = float(renderWidth()) / float(renderHeight());  // 16:9 at every size
    glm::mat4 projection = glm::perspective(glm::radians(45.0f), aspect, 1.0f, 1000.0f);
    glm::mat4 view = cameraView(truncateTrackValue(sync.getValue("Camera Bitch"), 0), t);
    glm::mat4 viewInverse = glm::inverse(view);
    glm::vec3 eye = glm::vec3(viewInverse * glm::vec4(0.0f, 0.0f, 0.0f, 1.0f));

    updateSpheres(t);

    // G-buffer: position, normal and reflected eye direction of the nearest sphere.
    passHook.mark(Pass::GBuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, gBuffer->framebuffer);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    sphurrProgram->use();
    sphurrProgram->setUniform("Proj", projection);
    sphurrProgram->setUniform("View", view);
    sphurrProgram->setUniform("ViewInverse", viewInverse);
    sphurrProgram->setUniform("EyePos", eye);
    for (int i = 0; i < spheres.count; ++i) {
        sphurrProgram->setUniform("Pos", spheres[i].pos);
        sphurrProgram->setUniform("Rad", spheres[i].rad);
        glRecti(-1, -1, 1, 1);
    }
    glFlush();
    sphurrProgram->unuse();
    glDisable(GL_DEPTH_TEST);

    // Occlusion, accumulated sphere by sphere as s(1 - d) + d.
    passHook.mark(Pass::Occlusion);
    glBindFramebuffer(GL_FRAMEBUFFER, occlusionTarget->framebuffer);
    glClear(GL_COLOR_BUFFER_BIT);
    glBlendFunc(GL_ONE_MINUS_DST_COLOR, GL_ONE);
    glEnable(GL_BLEND);
    occlusionProgram->use();
    gBuffer->colourTextures[1]->bind(1);
    gBuffer->colourTextures[0]->bind(0);
    occlusionProgram->setUniform("PosTex", 0);
    occlusionProgram->setUniform("NormalTex", 1);
    occlusionProgram->setUniform("Proj", projection);
    occlusionProgram->setUniform("View", view);
    occlusionProgram->setUniform("EyePos", eye);
    occlusionProgram->setUniform("OcclusionRadius", 0.4f);
    for (int i = 0; i < spheres.count; ++i) {
        occlusionProgram->setUniform("Pos", spheres[i].pos);
        occlusionProgram->setUniform("Rad", spheres[i].rad);
        glRecti(-1, -1, 1, 1);
    }
    glFlush();
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, 0);
    occlusionProgram->unuse();
    glDisable(GL_BLEND);

    // Sky box, then the lit spheres over it, into the final pass's target.
    passHook.mark(Pass::SkyAndComposite);
    PerkProc& perkProc = PerkProc::instance();
    glBindFramebuffer(GL_FRAMEBUFFER, perkProc.sceneTarget->framebuffer);
    glClearColor(0.0f, 0.01f, 0.04f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    skyProgram->use();
    skyTexture->bind(0);
    skyProgram->setUniform("Proj", projection);
    skyProgram->setUniform("View", view);
    skyProgram->setUniform("Tex", 0);
    glColor3f(0.1f, 0.1f, 0.1f);
    glDepthMask(GL_FALSE);
    glBegin(GL_QUADS);
    for (const SkyVertex& v : skyBox) {
        glTexCoord2f(v.u, v.v);
        glVertex3f(v.x, v.y, v.z);
    }
    glEnd();
    glFlush();
    glDepthMask(GL_TRUE);
    skyProgram->unuse();
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);

    mixProgram->use();
    envCube->bind(3);
    occlusionTarget->colourTextures[0]->bind(2);
    gBuffer->colourTextures[2]->bind(1);
    gBuffer->colourTextures[0]->bind(0);
    mixProgram->setUniform("PosTex", 0);
    mixProgram->setUniform("RefEyeTex", 1);
    mixProgram->setUniform("OcclusionTex", 2);
    mixProgram->setUniform("EnvTex", 3);
    glRecti(-1, -1, 1, 1);
    glFlush();
    glActiveTexture(GL_TEXTURE3);
    glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, 0);
    mixProgram->unuse();

    // Post-processing: the final pass into the bloom's target, blur, bloom
    // composite into the window.
    passHook.mark(Pass::FinalPass);
    BloomChain& bloom = BloomChain::instance();
    glBindFramebuffer(GL_FRAMEBUFFER, bloom.fullTarget->framebuffer);
    perkProc.apply(1.0f);
    passHook.mark(Pass::Bloom);
    bloom.blur();
    glBindFramebuffer(GL_FRAMEBUFFER, screenFramebuffer());
    float dry = sync.getValue("Bloom Dry");
    float wet = sync.getValue("Bloom Wet");
    bloom.mix(wet, dry);

    // Credits over everything, later ones over earlier ones.
    passHook.mark(Pass::Credits);
    for (int k = 0; k < creditCount; ++k) {
        float alpha = sync.getValue(creditTable[k].fadeTrack);
        if (alpha > 0.0f)
            drawCredit(credits[k], alpha);
    }
    passHook.mark(Pass::End);
}

void Sphurrs::drawCredit(Texture* image, float alpha) {
    glBindTexture(GL_TEXTURE_2D, image->id);
    glEnable(GL_TEXTURE_2D);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_BLEND);
    glBegin(GL_QUADS);
    glColor4f(1.0f, 1.0f, 1.0f, alpha);
    glTexCoord2i(0, 0);
    glVertex2i(-1, 1);
    glTexCoord2i(1, 0);
    glVertex2i(1, 1);
    glTexCoord2i(1, 1);
    glVertex2i(1, -1);
    glTexCoord2i(0, 1);
    glVertex2i(-1, -1);
    glEnd();
    glDisable(GL_BLEND);
    glDisable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, 0);
}
