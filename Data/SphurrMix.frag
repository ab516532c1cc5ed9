#version 120
// Scene composite: lights the G-buffer spheres with the environment cube and
// the accumulated occlusion, over the sky already in the target. Pixels where
// no sphere was hit are left alone.
// RefEyeTex holds the reflected eye direction scaled by (1 + N.V).

uniform sampler2D PosTex;
uniform sampler2D RefEyeTex;
uniform sampler2D OcclusionTex;
uniform samplerCube EnvTex;

varying vec2 TexCoord;

const vec3 KeyDir = vec3(0.42, 0.78, 0.46);    // soft key light, upper right
const vec3 Luma = vec3(0.299, 0.587, 0.114);

void main()
{
    vec3 e = texture2D(RefEyeTex, TexCoord).xyz;
    float len2 = dot(e, e);
    if (len2 < 0.25)
        discard;
    float len = sqrt(len2);
    vec3 r = e / len;
    float facing = clamp(len - 1.0, 0.0, 1.0);
    float occ = texture2D(OcclusionTex, TexCoord).r;
    vec3 p = texture2D(PosTex, TexCoord).xyz;

    // Sharp reflection, and a dimmer "diffuse" look-up bent towards the sky
    // dome: the image is blurry already, so one fetch passes for irradiance.
    vec3 refl = textureCube(EnvTex, r).rgb;
    vec3 amb = textureCube(EnvTex, normalize(r + vec3(0.0, 1.1, 0.0))).rgb;

    // Pearl body: warmer in the middle of the field, cooler at its rim.
    float radial = clamp(length(p) * (1.0 / 14.0), 0.0, 1.0);
    vec3 body = mix(vec3(1.05, 0.86, 0.92), vec3(0.72, 0.88, 1.12), radial);

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
    float spec = k16 * 0.55 + k256 * 2.5;

    vec3 c = amb * body * (0.75 * (1.0 - fresnel))
           + refl * (1.5 * fresnel)
           + film * (rim2 * 0.35);
    c *= ao;
    c += spec * vec3(1.0, 0.95, 0.9) * (0.4 + 0.6 * ao);

    // Grade: a little extra saturation and a soft toe.
    float y = dot(c, Luma);
    c = mix(vec3(y), c, 1.2);
    c = c / (1.0 + 0.25 * c);
    gl_FragColor = vec4(max(c, 0.0), 1.0);
}
