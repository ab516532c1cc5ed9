#version 120
// Sphere G-buffer pass, fragment stage: ray-cast one sphere through this pixel.
// Writes world position, world normal and the reflected eye direction, and the
// hit's true depth so the nearest sphere wins the depth test. The reflection is
// stored scaled by (1 + N.V): the composite has no normal and no eye, and reads
// the facing ratio back from the vector's length (0 there means "no sphere").

uniform mat4 Proj;
uniform mat4 ViewInverse;
uniform vec3 Pos;
uniform float Rad;

varying vec3 Centre;

void main()
{
    // Eye-space ray through the pixel centre; the viewport is 1280 x 720.
    vec2 ndc = gl_FragCoord.xy * vec2(2.0 / 1280.0, 2.0 / 720.0) - 1.0;
    vec3 dir = vec3(ndc.x / Proj[0][0], ndc.y / Proj[1][1], -1.0);

    float a = dot(dir, dir);
    float b = dot(dir, Centre);
    float c = dot(Centre, Centre) - Rad * Rad;
    float disc = b * b - a * c;
    if (disc < 0.0)
        discard;
    float root = sqrt(disc);
    float inva = 1.0 / a;
    float t = (b - root) * inva;
    // dir.z is -1, so t is the distance in front of the eye: skip a front
    // hit cut off by the near plane and show the far side instead.
    if (t < 1.0)
        t = (b + root) * inva;
    if (t < 1.0)
        discard;

    vec3 hit = dir * t;
    gl_FragDepth = 0.5 * (Proj[3][2] / t - Proj[2][2]) + 0.5;

    // Shade in eye space, then turn the directions into the world.
    // Seen from inside (cut open by the near plane) the surface reflects
    // with its normal turned to the eye, but the outward normal is what goes
    // to the occlusion pass, so the sphere does not black out its own inside.
    vec3 n = (hit - Centre) * (1.0 / Rad);
    vec3 view = dir * inversesqrt(a);
    float facing = -dot(n, view);
    vec3 shade = facing < 0.0 ? -n : n;
    facing = abs(facing);
    vec3 refl = view + shade * (2.0 * facing);
    mat3 toWorld = mat3(ViewInverse);

    gl_FragData[0] = vec4(toWorld * hit + ViewInverse[3].xyz, 1.0);
    gl_FragData[1] = vec4(toWorld * n, 1.0);
    gl_FragData[2] = vec4(toWorld * (refl * (1.0 + facing)), 1.0);
}
