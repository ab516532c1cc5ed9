#version 120
// Bloom composite into the window: the sharp frame at the dry level, the
// blurred frame at the wet level (with a squared term so highlights glow more
// than midtones), and the bokeh image let through where the blur is bright.

uniform sampler2D Tex;
uniform sampler2D BlurTex;
uniform sampler2D BokehTex;
uniform float Intensity;
uniform float BgIntensity;

varying vec2 TexCoord;

const vec3 Luma = vec3(0.299, 0.587, 0.114);

void main()
{
    vec3 sharp = texture2D(Tex, TexCoord).rgb;
    vec3 blur = texture2D(BlurTex, TexCoord).rgb;
    // The bokeh plate is square: crop a 16:9 band from it so the discs stay round.
    vec3 bokeh = texture2D(BokehTex, vec2(TexCoord.x, TexCoord.y * 0.5625 + 0.22)).rgb;

    float bright = max(dot(blur, Luma) - 0.12, 0.0);
    vec3 glow = blur + blur * blur * 1.5;
    vec3 c = sharp * BgIntensity
           + glow * Intensity
           + bokeh * (bright * 2.2 * Intensity);
    gl_FragColor = vec4(c, 1.0);
}
