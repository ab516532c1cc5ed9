#version 120
#extension GL_EXT_gpu_shader4 : enable
// Sphere occlusion pass, vertex stage.
// A sphere darkens the surfaces within its reach (its radius grown by the
// occlusion range), so the quad is fitted to the screen rectangle of that
// larger sphere, cut at the near plane. A sphere the G-buffer pass does not
// draw (see Sphurr.vert: no radius, out of reach, not finite) casts nothing
// and collapses.

uniform mat4 Proj;
uniform mat4 View;
uniform vec3 Pos;
uniform float Rad;
uniform float OcclusionRadius;

// What is the same for the whole sphere goes to the fragment stage flat: a
// software rasteriser reads a uniform there at several times the cost.
#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif
FLAT varying vec3 Centre;
FLAT varying float Rad2;     // the sphere's radius, squared
FLAT varying float Reach2;   // its reach, squared
FLAT varying float Edge;     // Rad2 / Reach2: the solid-angle term at the reach
FLAT varying float Rescale;  // 1 / (1 - Edge)
#ifndef GL_EXT_gpu_shader4
varying vec2 ScreenCoord;    // 0..1 across the viewport, for the G-buffer reads
#endif

const float NearZ = 0.99;
const float Margin = 0.004;
const float FarReach = 2000.0;

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
    // Keep in step with the fall-off in SphurrOcclusion.frag.
    float reach = Rad + OcclusionRadius * (0.4 + 1.2 * min(Rad, 1.0));
    Centre = Pos;
    Rad2 = Rad * Rad;
    Reach2 = reach * reach;
    Edge = Rad2 / Reach2;
    Rescale = 1.0 / (1.0 - Edge);
    vec3 c = (View * vec4(Pos, 1.0)).xyz;
    float depth = -c.z;
    if (Rad > 0.0 && depth + reach >= NearZ && abs(length(c) - Rad) < FarReach) {
        vec2 sx = slopeRange(c.x, depth, reach) * Proj[0][0];
        vec2 sy = slopeRange(c.y, depth, reach) * Proj[1][1];
        vec2 lo = clamp(vec2(sx.x, sy.x) - Margin, -1.0, 1.0);
        vec2 hi = clamp(vec2(sx.y, sy.y) + Margin, -1.0, 1.0);
        gl_Position = vec4(mix(lo, hi, gl_Vertex.xy * 0.5 + 0.5), 0.0, 1.0);
    } else {
        gl_Position = vec4(-3.0, -3.0, 0.0, 1.0);
    }
#ifndef GL_EXT_gpu_shader4
    ScreenCoord = gl_Position.xy * 0.5 + 0.5;
#endif
}
