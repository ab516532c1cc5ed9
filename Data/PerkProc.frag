#version 120
#extension GL_EXT_gpu_shader4 : enable
// Final pass over the scene image:
//   Distortion   animated wave warp of the picture
//   Distortion2  chromatic split pushed outwards plus jittering scanlines
//   Flash        fade to white;  Invert  fade to the negative
//   Mix          blend of the processed image over the plain one
// All levels at 0 give the scene back with only a light vignette.

uniform sampler2D Tex;

// The levels come flat from the vertex stage, already scaled.
#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif
varying vec2 TexCoord;
FLAT varying vec4 Phase;
FLAT varying float Shake;
FLAT varying vec3 Reach;     // warp, jitter, chromatic split
FLAT varying vec3 Levels;    // Flash, Invert, Mix

// A sine good to about 0.001: a parabola through each half wave, sharpened
// once. The built-in costs several times as much on a software rasteriser,
// where the five sines below were half of this pass, and a uniform branch
// around them does not save them; the warp does not need more precision.
vec4 wave(vec4 x)
{
    vec4 u = fract(x * 0.15915494 + 0.5) - 0.5;   // one turn, centred on 0
    vec4 y = u * (8.0 - 16.0 * abs(u));
    return y + 0.225 * y * (abs(y) - 1.0);
}

// A read pushed past an edge of the picture is mirrored back into it, so a
// distorted border continues the picture beside it, and kept half a texel
// in: the scene texture repeats, and its filter would blend in the opposite
// edge there.
vec2 inside(vec2 p, vec2 edge)
{
    return clamp(1.0 - abs(1.0 - abs(p)), edge, 1.0 - edge);
}

void main()
{
    vec2 uv = TexCoord;

    // Wave warp: two crossing sine fields, travelling with time, and the
    // scanline jitter: each band of rows slides sideways by its own amount.
    // Mix scales the displacement, so at 0 the fetch below is the plain image.
    float band = floor(uv.y * 90.0);
    vec4 w = wave(vec4(uv.y * 17.0, uv.y * 41.0, uv.x * 13.0, uv.x * 29.0) + Phase);
    vec2 warp = vec2(w.x + 0.5 * w.y, w.z + 0.5 * w.w);
    float jitter = wave(vec4(band * 12.9898 + Shake)).x;
    vec2 p = uv + warp * Reach.x + vec2(jitter * jitter * jitter * Reach.y, 0.0);
    vec2 edge = 0.5 * abs(vec2(dFdx(uv.x), dFdy(uv.y)));   // the quad covers the picture
    vec3 plain = texture2D(Tex, inside(p, edge)).rgb;

    // Chromatic aberration, stronger towards the edges. A software rasteriser
    // runs both sides of a branch, so a branch would not save these two reads;
    // while the effect is off they read the same texel as the plain image.
    vec2 off = (uv - 0.5) * Reach.z;
    vec3 c = vec3(texture2D(Tex, inside(p + off, edge)).r, plain.g, texture2D(Tex, inside(p - off, edge)).b);

    vec2 q = uv - 0.5;
    c *= 1.0 - 0.55 * dot(q, q);                 // soft vignette

    // A flash pushes the picture toward white on a soft shoulder: exposure
    // up and a lift, pulled in below white (e / (1 + 0.8 e)), so that at full
    // strength the spheres and the sky keep their shapes, and a half flash
    // is clearly weaker than a full one.
    vec3 e = c * 5.0 + 0.3;
    c = mix(c, e / (1.0 + 0.8 * e), Levels.x);
    // The negative is darkened on a curve, and kept well below white, so the
    // mostly dark scene does not turn into a mostly white one under the bloom,
    // and a flash right after an inverted stretch still rises above it.
    vec3 neg = 1.0 - c;
    c = mix(c, neg * neg * 0.7, Levels.y);
    // Mix blends the processing over the plain image (1.0 in this program);
    // the plain image is the same fetch, at no cost of its own.
    gl_FragColor = vec4(mix(plain, c, Levels.z), 1.0);
}
