#version 120
#extension GL_EXT_gpu_shader4 : enable
// Bloom composite into the window: the sharp frame at the dry level, the
// blurred frame at the wet level (with a squared term so highlights glow more
// than midtones), and the bokeh image let through where the blur is bright.

uniform sampler2D Tex;
uniform sampler2D BlurTex;
uniform sampler2D BokehTex;

#ifdef GL_EXT_gpu_shader4
#define FLAT flat
#else
#define FLAT
#endif
varying vec2 TexCoord;
FLAT varying vec2 Levels;   // Intensity (wet) and BgIntensity (dry), from the vertex stage

const vec3 Luma = vec3(0.299, 0.587, 0.114);

void main()
{
    #ifdef GL_EXT_gpu_shader4
    vec3 sharp = texelFetch2D(Tex, ivec2(gl_FragCoord.xy), 0).rgb;   // same size as the window
#else
    vec3 sharp = texture2D(Tex, TexCoord).rgb;
#endif
    vec3 blur = texture2D(BlurTex, TexCoord).rgb;
    // The bokeh plate is square: crop a 16:9 band from it so the discs stay round.
    vec3 bokeh = texture2D(BokehTex, vec2(TexCoord.x, TexCoord.y * 0.5625 + 0.22)).rgb;

    float lum = dot(blur, Luma);
    float bright = max(lum - 0.12, 0.0);
    // Haze over a dark frame, but a frame that is bright all over (a flash,
    // an inverted picture) gets much less, or it would drown in white.
    vec3 glow = (blur + blur * blur) * (1.0 - 0.7 * smoothstep(0.35, 0.85, lum));
    vec3 c = sharp * Levels.y
           + glow * Levels.x
           + bokeh * (bright * 2.2 * Levels.x);
    // Soft shoulder above 0.75 so a flash or an inverted frame under heavy
    // bloom still shows shapes instead of clipping to flat white.
    vec3 over = max(c - 0.75, 0.0);
    c -= over - over / (1.0 + over * 4.0);

    // A least-significant-bit dither hides the steps of the 8-bit blur
    // targets, which the upscale would otherwise draw as a faint grid.
    float noise = fract(52.9829 * fract(dot(gl_FragCoord.xy, vec2(0.06711, 0.00584))));
    c += (noise - 0.5) * (1.5 / 255.0);
    gl_FragColor = vec4(c, 1.0);
}
