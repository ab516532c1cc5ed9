#version 120
#extension GL_EXT_gpu_shader4 : enable
// Full-viewport quad for the screen passes: position passes through and the
// texture coordinate runs 0..1 across the viewport. Each pass's levels go to
// its fragment stage flat, already scaled: a software rasteriser reads a
// uniform in the fragment stage at several times the cost of a flat input.
// A program sets only the uniforms of its own pass; what the other passes'
// inputs would need is dropped when it is linked.

uniform float Width;         // bloom downsample: the destination's width
uniform float Delta;         // bloom blur: the spread
uniform float Intensity;     // bloom composite: wet level
uniform float BgIntensity;   //                  dry level

#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif

varying vec2 TexCoord;
FLAT varying float Step;     // downsample: half the distance between its two taps
FLAT varying vec4 Rings;     // blur: inner radius, outer radius on the diagonals
                             //       and at 22.5 degrees (x, y)
FLAT varying vec2 Levels;    // composite: wet, dry

void main()
{
    TexCoord = gl_Vertex.xy * 0.5 + 0.5;
    Step = 0.3 / Width;
    float s = Delta / 128.0;
    float outer = s * 3.4;
    Rings = vec4(s * 1.6, outer * 0.7071, outer * 0.9239, outer * 0.3827);
    Levels = vec2(Intensity, BgIntensity);
    gl_Position = vec4(gl_Vertex.xy, 0.0, 1.0);
}
