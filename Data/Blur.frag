#version 120
// Bloom blur on the 128 x 128 targets: a 13-tap disc (centre, an inner ring of
// four, an outer ring of eight) with gaussian-like weights. "Delta" scales the
// spread; repeated passes compound into a wide, soft glow.

uniform sampler2D Tex;
uniform float Delta;

varying vec2 TexCoord;

void main()
{
    vec2 s = vec2(Delta / 128.0);
    vec2 a = s * 1.6;    // inner ring radius in texels
    vec2 b = s * 3.4;    // outer ring radius
    vec2 bd = b * 0.7071;
    vec2 be = b * vec2(0.9239, 0.3827);

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
