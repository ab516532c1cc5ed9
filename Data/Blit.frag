#version 120
// Bloom downsample: two bilinear taps side by side over the destination
// pixel's footprint (each tap already averages a 2 x 2 block), so every
// source texel reaches the smaller image and thin highlights do not flicker.
// Horizontally the footprint is the wider one (1280 to 512); two taps cover
// it as well as four did at a quarter of the cost on a software rasteriser.

uniform sampler2D Tex;
uniform float Width;
uniform float Height;

varying vec2 TexCoord;

void main()
{
    vec2 h = vec2(0.3 / Width, 0.0);
    gl_FragColor = (texture2D(Tex, TexCoord - h) + texture2D(Tex, TexCoord + h)) * 0.5;
}
