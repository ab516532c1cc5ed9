#version 120
// Sky box: the cube around the world origin, textured from the cross image.

uniform mat4 Proj;
uniform mat4 View;

varying vec2 TexCoord;
varying float Height;   // -1 at the floor of the box, +1 at its ceiling

void main()
{
    TexCoord = gl_MultiTexCoord0.xy;
    Height = gl_Vertex.y / 100.0;
    gl_Position = Proj * View * gl_Vertex;
}
