#version 120
#extension GL_EXT_gpu_shader4 : enable
// Bloom blur on the 128 x 128 targets: a 13-tap disc (centre, an inner ring of
// four, an outer ring of eight) with gaussian-like weights. "Delta" scales the
// spread; repeated passes compound into a wide, soft glow.

uniform sampler2D Tex;

#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif
varying vec2 TexCoord;
FLAT varying vec4 Rings;   // the rings' radii, scaled by Delta in the vertex stage

void main()
{
    vec2 a = vec2(Rings.x);     // inner ring radius
    vec2 bd = vec2(Rings.y);    // outer ring, on the diagonals
    vec2 be = Rings.zw;         // outer ring, 22.5 degrees off the axes

    vec4 c = texture2D(Tex, TexCoord) * 0.16;
    vec4 inner = texture2D(Tex, TexCoord + vec2( a.x, 0.0))
               + texture2D(Tex, TexCoord + vec2(-a.x, 0.0))
               + texture2D(Tex, TexCoord + vec2(0.0,  a.y))
               + texture2D(Tex, TexCoord + vec2(0.0, -a.y));
    vec4 outer = texture2D(Tex, TexCoord + vec2( be.x,  be.y))
               + texture2D(Tex, TexCoord + vec2(-be.x, -be.y))
               + texture2D(Tex, TexCoord + vec2(-be.y,  be.x))
               + texture2D(Tex, TexCoord + vec2( be.y, -be.x))
               + texture2D(Tex, TexCoord + vec2( bd.x, -bd.y))
               + texture2D(Tex, TexCoord + vec2(-bd.x,  bd.y))
               + texture2D(Tex, TexCoord + vec2( be.x, -be.y))
               + texture2D(Tex, TexCoord + vec2(-be.x,  be.y));
    gl_FragColor = c + inner * 0.12 + outer * 0.045;
}
