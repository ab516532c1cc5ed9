#version 120
// Sphere occlusion pass, fragment stage: how much of the sky this one sphere
// hides from the G-buffer surface under the pixel. For a sphere of radius r at
// offset D from the point, the cosine-weighted solid angle it covers is about
// max(N.D/|D|, 0) * r^2 / |D|^2; it is faded out towards the reach so the
// quad's edge never shows. The sphere's own surface faces away from its centre
// and so gets nothing. Contributions are blended as s + d - s*d.

uniform sampler2D PosTex;
uniform sampler2D NormalTex;
uniform vec3 Pos;
uniform float Rad;

varying float Reach;

const float Strength = 1.35;

void main()
{
    vec2 uv = gl_FragCoord.xy * vec2(1.0 / 1280.0, 1.0 / 720.0);
    vec3 d = Pos - texture2D(PosTex, uv).xyz;
    float dist2 = dot(d, d);
    if (dist2 >= Reach * Reach)
        discard;
    vec3 n = texture2D(NormalTex, uv).xyz;   // zero where no sphere was hit
    float dist = sqrt(dist2);
    float cosine = dot(n, d) / max(dist, 1e-4);
    float solid = min(Rad * Rad / max(dist2, 1e-4), 1.0);
    float fade = 1.0 - smoothstep(Rad, Reach, dist);
    float occ = clamp(cosine * solid * fade * Strength, 0.0, 1.0);
    gl_FragColor = vec4(occ, occ, occ, 1.0);
}
