#version 120
#extension GL_EXT_gpu_shader4 : enable
// Scene composite: lights the G-buffer spheres with the environment cube and
// the accumulated occlusion, over the sky already in the target. Pixels where
// no sphere was hit are left alone.
// RefEyeTex holds the reflected eye direction scaled by (1 + N.V).

// The G-buffer is read exactly one texel per pixel; where the driver offers
// integer texel fetches they skip the filtering, which is most of the cost of
// a read on a software rasteriser.
#ifdef GL_EXT_gpu_shader4
#define FETCH(tex) texelFetch2D(tex, ivec2(gl_FragCoord.xy), 0)
#else
varying vec2 TexCoord;       // the pixel's centre, 0..1 across the viewport at any size
#define FETCH(tex) texture2D(tex, TexCoord)
#endif

uniform sampler2D PosTex;
uniform sampler2D RefEyeTex;
uniform sampler2D OcclusionTex;
uniform samplerCube EnvTex;


const vec3 KeyDir = vec3(0.42, 0.78, 0.46);    // soft key light, upper right
const vec3 Luma = vec3(0.299, 0.587, 0.114);
const vec3 Above = vec3(0.20, 0.16, 0.42);
const vec3 Horizon = vec3(0.50, 0.30, 0.48);
const vec3 Below = vec3(0.09, 0.05, 0.14);

void main()
{
    vec3 e = FETCH(RefEyeTex).xyz;
    float len2 = dot(e, e);
    if (len2 < 0.25)
        discard;
    float len = sqrt(len2);
    vec3 r = e / len;
    float facing = clamp(len - 1.0, 0.0, 1.0);
    float occ = FETCH(OcclusionTex).r;
    vec3 p = FETCH(PosTex).xyz;

    // Sharp reflection from the cube; the diffuse light is the sky's average
    // colour by height (violet above, the pink horizon band, dark below),
    // taken along the reflection bent upwards. Cheaper than a second fetch.
    vec3 refl = textureCube(EnvTex, r).rgb;
    float h = r.y * 0.6 + 0.3;
    vec3 amb = mix(Horizon, h > 0.0 ? Above : Below, smoothstep(0.0, 1.0, abs(h) * 1.3));

    // Pearl body: warmer in the middle of the field, cooler at its rim.
    float radial = clamp(length(p) * (1.0 / 14.0), 0.0, 1.0);
    vec3 body = mix(vec3(1.25, 0.82, 0.72), vec3(0.62, 0.92, 1.25), radial);

    float rim = 1.0 - facing;
    float rim2 = rim * rim;
    float fresnel = mix(0.3, 1.0, rim2 * rim);

    // Thin-film sheen: hue drifts with the viewing angle and across the field.
    // (a cheap hue wheel rather than three cosines)
    vec3 film = clamp(abs(fract(rim * 1.3 + radial * 0.6 + vec3(0.0, 0.667, 0.333)) * 6.0 - 3.0) - 1.0, 0.0, 1.0);

    float ao = 1.0 - occ;
    ao *= ao * ao;

    float k = max(dot(r, normalize(KeyDir)), 0.0);
    float k2 = k * k;
    float k16 = k2 * k2;
    k16 *= k16;
    k16 *= k16;
    float k256 = k16 * k16;
    k256 *= k256;
    k256 *= k256;
    k256 *= k256;
    float specular = k16 * 0.55 + k256 * 2.5;

    vec3 c = amb * body * (0.75 * (1.0 - fresnel))
           + refl * (1.5 * fresnel)
           + film * (rim2 * 0.45);
    c *= ao;
    c += specular * vec3(1.0, 0.95, 0.9) * (0.4 + 0.6 * ao);

    // Grade: a little extra saturation and a soft toe.
    float y = dot(c, Luma);
    c = mix(vec3(y), c, 1.2);
    c = c / (1.0 + 0.25 * c);
    gl_FragColor = vec4(max(c, 0.0), 1.0);
}
