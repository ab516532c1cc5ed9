#pragma once

#include "Extensions.h"
#include "quib/List.h"
#include "scene/Effect.h"
#include "scene/Sphurr.h"

class CubeTexture;
class RenderTarget;
class ShaderProgram;
class Texture;

// The production's one scene: 400 spheres ray-cast into a G-buffer, their
// occlusion accumulated sphere by sphere, composited over a sky box with an
// environment cube, handed to the final pass and the bloom, and overlaid
// with the credit images.
class Sphurrs : public Effect {
public:
    static const int sphereCount = 400;
    static const int creditCount = 8;

    Sphurrs();
    ~Sphurrs();

    void render(double timeSeconds) override;
    void resizeTargets() override;
    void updateSpheres(double t);
    void drawCredit(Texture* image, float alpha);

    Quib::List<Sphurr> spheres;
    RenderTarget* gBuffer = nullptr;
    RenderTarget* occlusionTarget = nullptr;
    ShaderProgram* sphurrProgram = nullptr;
    ShaderProgram* occlusionProgram = nullptr;
    ShaderProgram* mixProgram = nullptr;
    ShaderProgram* skyProgram = nullptr;
    CubeTexture* envCube = nullptr;
    Texture* skyTexture = nullptr;
    Texture* credits[creditCount] = {};
    int placed = 0;

private:
    Sphurrs(const Sphurrs&) = delete;
    Sphurrs& operator=(const Sphurrs&) = delete;
    void release();
};

// The credit images and the track that fades each in, in drawing order.
struct Credit {
    const char* image;
    const char* fadeTrack;
};
extern const Credit creditTable[Sphurrs::creditCount];
