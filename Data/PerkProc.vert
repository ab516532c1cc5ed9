#version 120
// Final pass quad: position passes through, texture coordinate 0..1.

varying vec2 TexCoord;

void main()
{
    TexCoord = gl_Vertex.xy * 0.5 + 0.5;
    gl_Position = vec4(gl_Vertex.xy, 0.0, 1.0);
}
