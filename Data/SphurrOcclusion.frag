#version 120
#extension GL_EXT_gpu_shader4 : enable
// Sphere occlusion pass, fragment stage: how much of the sky this one sphere
// hides from the G-buffer surface under the pixel. For a sphere of radius r at
// offset D from the point, the cosine-weighted solid angle it covers is about
// max(N.D/|D|, 0) * r^2 / |D|^2; the value at the reach is subtracted so the
// quad's edge never shows. The sphere's own surface faces away from its centre
// and so gets nothing. Contributions are blended as s + d - s*d.

// The G-buffer is read exactly one texel per pixel; where the driver offers
// integer texel fetches they skip the filtering, which is most of the cost of
// a read on a software rasteriser.
#ifdef GL_EXT_gpu_shader4
#define FETCH(tex) texelFetch2D(tex, ivec2(gl_FragCoord.xy), 0)
#else
varying vec2 ScreenCoord;    // the pixel's centre, 0..1 across the viewport at any size
#define FETCH(tex) texture2D(tex, ScreenCoord)
#endif

#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif

uniform sampler2D PosTex;
uniform sampler2D NormalTex;

FLAT varying vec3 Centre;    // the sphere's, with its sizes: see the vertex stage
FLAT varying float Rad2;
FLAT varying float Reach2;
FLAT varying float Edge;
FLAT varying float Rescale;

const float Strength = 1.35;

void main()
{
    vec3 d = Centre - FETCH(PosTex).xyz;
    float dist2 = dot(d, d);
    // A surface inside this sphere can only be seen from within it: the eye
    // is inside, or the near plane has cut the sphere open. Seen from there
    // the sphere is a hollow shell and hides no sky from it; counting it as
    // solid turned its inside walls black.
    if (dist2 >= Reach2 || dist2 < Rad2)
        discard;
    vec3 n = FETCH(NormalTex).xyz;   // zero where no sphere was hit
    // A surface facing away gets nothing (the sphere's own surface included,
    // and the sky).
    float towards = dot(n, d);
    if (towards <= 0.0)
        discard;
    float cosine = towards * inversesqrt(max(dist2, 1e-6));
    // Solid-angle term less its value at the reach, rescaled to 1 at contact
    // (the surface is outside the sphere here, so r^2 / |D|^2 is at most 1).
    float solid = (Rad2 / max(dist2, 1e-6) - Edge) * Rescale;
    float occ = clamp(cosine * solid * Strength, 0.0, 1.0);
    gl_FragColor = vec4(occ, occ, occ, 1.0);
}
