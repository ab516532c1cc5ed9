#version 120
#extension GL_EXT_gpu_shader4 : enable
// Final pass quad: position passes through, texture coordinate 0..1. The
// levels are the same for every pixel and go to the fragment stage flat,
// already scaled: a software rasteriser reads a uniform in the fragment stage
// at several times the cost of a flat input.

uniform float Time;
uniform float Distortion;
uniform float Distortion2;
uniform float Flash;
uniform float Mix;
uniform float Invert;

#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif

varying vec2 TexCoord;
FLAT varying vec4 Phase;     // how far each of the four warp waves has travelled
FLAT varying float Shake;    // the scanline jitter's phase for this 30th of a second
FLAT varying vec3 Reach;     // warp, jitter and chromatic split, each times Mix
FLAT varying vec3 Levels;    // Flash and Invert clamped to 0..1, and Mix

void main()
{
    TexCoord = gl_Vertex.xy * 0.5 + 0.5;
    Phase = vec4(Time * 3.1, -Time * 5.3, Time * 2.3 + 1.5707963, Time * 4.1);
    // 30 steps a second fall every second frame at 60 frames a second and on
    // every frame at 30, evenly; the quarter keeps a time that reached us in
    // whole milliseconds (a 60th is 16.67 ms) off the step's edge.
    Shake = floor(Time * 30.0 + 0.25) * 78.233;
    Reach = vec3(0.018 * Distortion, 0.02 * Distortion2, 0.025 * Distortion2) * Mix;
    Levels = vec3(clamp(Flash, 0.0, 1.0), clamp(Invert, 0.0, 1.0), Mix);
    gl_Position = vec4(gl_Vertex.xy, 0.0, 1.0);
}
