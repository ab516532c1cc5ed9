#version 120
// Bloom downsample: four bilinear taps spread over the destination pixel's
// footprint, a small box of boxes that keeps thin highlights from flickering.

uniform sampler2D Tex;
uniform float Width;
uniform float Height;

varying vec2 TexCoord;

void main()
{
    vec2 h = vec2(0.3 / Width, 0.3 / Height);
    vec4 c = texture2D(Tex, TexCoord + vec2(-h.x, -h.y))
           + texture2D(Tex, TexCoord + vec2( h.x, -h.y))
           + texture2D(Tex, TexCoord + vec2(-h.x,  h.y))
           + texture2D(Tex, TexCoord + vec2( h.x,  h.y));
    gl_FragColor = c * 0.25;
}
