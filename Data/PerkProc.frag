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
    vec3 plain = texture2D(Tex, p).rgb;

    // Chromatic aberration, stronger towards the edges. A software rasteriser
    // runs both sides of a branch, so a branch would not save these two reads;
    // while the effect is off they read the same texel as the plain image.
    vec2 off = (uv - 0.5) * Reach.z;
    vec3 c = vec3(texture2D(Tex, p + off).r, plain.g, texture2D(Tex, p - off).b);

    vec2 q = uv - 0.5;
    c *= 1.0 - 0.55 * dot(q, q);                 // soft vignette

    c = mix(c, vec3(1.0), Levels.x);
    // The negative is darkened on a curve so the mostly dark scene does not
    // turn into a mostly white one.
    vec3 neg = 1.0 - c;
    c = mix(c, neg * neg * 1.15, Levels.y);
    // Mix blends the processing over the plain image (1.0 in this program);
    // the plain image is the same fetch, at no cost of its own.
    gl_FragColor = vec4(mix(plain, c, Levels.z), 1.0);
}
