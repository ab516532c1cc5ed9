#version 120
// Sky box colour: the blurred sky image, lifted a little, with a cool glow
// overhead and a warm one towards the floor so the backdrop is never flat.

uniform sampler2D Tex;

varying vec2 TexCoord;
varying float Height;

void main()
{
    vec3 sky = texture2D(Tex, TexCoord).rgb;
    float up = clamp(Height, 0.0, 1.0);
    float down = clamp(-Height, 0.0, 1.0);
    vec3 glow = vec3(0.02, 0.04, 0.10) * up + vec3(0.06, 0.015, 0.05) * down;
    gl_FragColor = vec4(sky * 1.3 + glow, 1.0);
}
