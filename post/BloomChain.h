#pragma once

class RenderTarget;
class ShaderProgram;
class Texture;

// The bloom: the finished frame downsampled to 512, 256 and 128 pixels,
// blurred six times at 128 x 128, then mixed into the window with the sharp
// frame and a bokeh image, weighted by a dry and a wet level.
class BloomChain {
public:
    static BloomChain& instance();

    // Downsamples and blurs what is in fullTarget; the result is in
    // blurTargets[0]. Restores the caller's viewport; leaves depth testing off.
    void blur();
    // Draws sharp frame, blur and bokeh into whatever framebuffer is bound.
    void mix(float intensity, float bgIntensity);
    // Makes the full-size target and the small ones again for the current
    // render size.
    void resizeTargets();

    RenderTarget* fullTarget = nullptr;
    RenderTarget** downTargets = nullptr;  // 512, 256, 128
    RenderTarget** blurTargets = nullptr;  // two of 128
    ShaderProgram* blitProgram = nullptr;
    ShaderProgram* blurProgram = nullptr;
    ShaderProgram* mixProgram = nullptr;
    Texture* bokehTexture = nullptr;

private:
    BloomChain();
    ~BloomChain();
    BloomChain(const BloomChain&) = delete;
    BloomChain& operator=(const BloomChain&) = delete;
    void release();
    void releaseTargets();
};
