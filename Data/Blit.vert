#version 120
// Full-viewport quad for the screen passes: position passes through and the
// texture coordinate runs 0..1 across the viewport.

varying vec2 TexCoord;

void main()
{
    TexCoord = gl_Vertex.xy * 0.5 + 0.5;
    gl_Position = vec4(gl_Vertex.xy, 0.0, 1.0);
}
