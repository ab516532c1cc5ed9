#pragma once

class RenderTarget;
class ShaderProgram;

// The final full-screen pass: owns the target the scene is composited into
// and redraws it through distortion, flash and invert driven by the tracks
// "Distortion", "Distortion2", "Flash" and "Invert".
class PerkProc {
public:
    static PerkProc& instance();

    // Draws the scene image into whatever framebuffer is bound.
    void apply(float mix);
    // Makes the scene target again at the current render size.
    void resizeTargets();

    RenderTarget* sceneTarget = nullptr;
    ShaderProgram* program = nullptr;

private:
    PerkProc();
    ~PerkProc();
    PerkProc(const PerkProc&) = delete;
    PerkProc& operator=(const PerkProc&) = delete;
    void release();
};
