#version 120
#extension GL_EXT_gpu_shader4 : enable
// Sphere G-buffer pass, fragment stage: ray-cast one sphere through this pixel.
// Writes world position, world normal and the reflected eye direction, and the
// hit's true depth so the nearest sphere wins the depth test. The reflection is
// stored scaled by (1 + N.V): the composite has no normal and no eye, and reads
// the facing ratio back from the vector's length (0 there means "no sphere").
// Everything is in world space, and everything but the pixel's ray is the
// same for the whole sphere and comes flat from the vertex stage.

#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif
varying vec3 Ray;            // world direction through the pixel, one unit of eye depth
FLAT varying vec3 ToCentre;  // sphere centre less the eye
FLAT varying float Constant; // |centre - eye|^2 - Rad^2
FLAT varying vec3 Eye;
FLAT varying float InvRad;
FLAT varying vec2 DepthMap;  // window depth = DepthMap.x / t + DepthMap.y

void main()
{
    float a = dot(Ray, Ray);
    float b = dot(Ray, ToCentre);
    float disc = b * b - a * Constant;
    if (disc < 0.0)
        discard;
    float root = sqrt(disc);
    float inva = 1.0 / a;
    float t = (b - root) * inva;
    // The ray runs one unit of eye depth per unit of t, so t is the distance in
    // front of the eye: a front hit cut off by the near plane shows the
    // sphere's inside instead (its far wall, seen from within).
    if (t < 1.0)
        t = (b + root) * inva;
    if (t < 1.0)
        discard;

    vec3 hit = Ray * t;
    gl_FragDepth = DepthMap.x / t + DepthMap.y;

    // Seen from inside (cut open by the near plane) the surface reflects
    // with its normal turned to the eye, but the outward normal is what goes
    // to the occlusion pass, so the sphere does not black out its own inside.
    vec3 n = (hit - ToCentre) * InvRad;
    vec3 view = Ray * inversesqrt(a);
    float facing = -dot(n, view);
    vec3 shade = facing < 0.0 ? -n : n;
    facing = abs(facing);
    vec3 refl = view + shade * (2.0 * facing);

    gl_FragData[0] = vec4(hit + Eye, 1.0);
    gl_FragData[1] = vec4(n, 1.0);
    gl_FragData[2] = vec4(refl * (1.0 + facing), 1.0);
}
