#version 120
#extension GL_EXT_gpu_shader4 : enable
// Sphere G-buffer pass, vertex stage.
// The quad arrives as the four corners (-1,-1)..(1,1). Drawing it over the whole
// viewport for every sphere is far too slow on a software rasteriser, so the
// corners are moved onto the exact screen rectangle of the sphere (the part of
// it beyond the near plane). Spheres that cannot show collapse to a point off
// screen and cost nothing: no radius, wholly behind the near plane, or all of
// the surface farther than any point the far plane lets through. A NaN or an
// infinity in the centre or the radius fails the test too; it is written as
// one condition for drawing, because every comparison with NaN is false.

uniform mat4 Proj;
uniform mat4 View;
uniform mat4 ViewInverse;
uniform vec3 EyePos;
uniform vec3 Pos;
uniform float Rad;

// What the fragment stage needs that does not change across the sphere is
// worked out here, once per corner instead of once per pixel: the ray through
// the pixel in world space (scaled to one unit of eye depth, so it is linear
// across the screen and interpolates exactly), and, flat, everything that is
// the same for the whole sphere. A software rasteriser reads a uniform in the
// fragment stage at several times the cost of a flat input.
#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif
varying vec3 Ray;
FLAT varying vec3 ToCentre;   // sphere centre less the eye
FLAT varying float Constant;  // |centre - eye|^2 - Rad^2
FLAT varying vec3 Eye;        // the eye, to turn eye-relative hits into world positions
FLAT varying float InvRad;
FLAT varying vec2 DepthMap;   // window depth = DepthMap.x / eye depth + DepthMap.y

const float NearZ = 0.99;      // a hair inside the near plane (1.0)
const float Margin = 0.004;    // ~2.5 pixels of slack in NDC
const float FarReach = 2000.0; // the far plane's corners lie about 1,310 from the eye

// Range of u/v over the disc (cu, cv, r) cut to v >= NearZ, where v is the
// distance in front of the eye. The extremes lie on the tangent points from
// the eye (if they are in front of the cut) or on the ends of the cut chord.
vec2 slopeRange(float cu, float cv, float r)
{
    vec2 range = vec2(1e6, -1e6);
    float l2 = cu * cu + cv * cv;
    float r2 = r * r;
    if (l2 > r2) {
        float t = sqrt(l2 - r2);
        vec2 base = vec2(cu, cv) * ((l2 - r2) / l2);
        vec2 side = vec2(-cv, cu) * (r * t / l2);
        vec2 a = base + side;
        vec2 b = base - side;
        if (a.y >= NearZ) { float s = a.x / a.y; range = vec2(min(range.x, s), max(range.y, s)); }
        if (b.y >= NearZ) { float s = b.x / b.y; range = vec2(min(range.x, s), max(range.y, s)); }
    }
    float h = NearZ - cv;
    if (abs(h) < r) {
        float w = sqrt(r2 - h * h);
        range = vec2(min(range.x, (cu - w) / NearZ), max(range.y, (cu + w) / NearZ));
    }
    return range;
}

void main()
{
    vec3 c = (View * vec4(Pos, 1.0)).xyz;
    ToCentre = Pos - EyePos;
    Constant = dot(c, c) - Rad * Rad;
    Eye = EyePos;
    InvRad = 1.0 / Rad;
    DepthMap = vec2(0.5 * Proj[3][2], 0.5 - 0.5 * Proj[2][2]);
    float depth = -c.z;
    if (Rad > 0.0 && depth + Rad >= NearZ && abs(length(c) - Rad) < FarReach) {
        vec2 sx = slopeRange(c.x, depth, Rad) * Proj[0][0];
        vec2 sy = slopeRange(c.y, depth, Rad) * Proj[1][1];
        vec2 lo = clamp(vec2(sx.x, sy.x) - Margin, -1.0, 1.0);
        vec2 hi = clamp(vec2(sx.y, sy.y) + Margin, -1.0, 1.0);
        vec2 corner = mix(lo, hi, gl_Vertex.xy * 0.5 + 0.5);
        Ray = mat3(ViewInverse) * vec3(corner.x / Proj[0][0], corner.y / Proj[1][1], -1.0);
        gl_Position = vec4(corner, 0.0, 1.0);
    } else {
        Ray = vec3(0.0);
        gl_Position = vec4(-3.0, -3.0, 0.0, 1.0);
    }
}
