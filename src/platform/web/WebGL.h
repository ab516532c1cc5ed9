#pragma once

// The browser's GL: WebGL2, which is OpenGL ES 3.0. The engine is written
// against desktop OpenGL 2 with its compatibility calls; what it uses that
// ES 3.0 lacks is provided here with what ES 3.0 has, so the scene and the
// passes stay one source for every platform:
//   - glRecti: a quad buffer; glBegin/glEnd: a vertex buffer filled per call
//     and drawn as triangles, through a small program of our own when no
//     program is in use (the fixed-function textured quad of the credits);
//   - GL_CLAMP: clamp to edge; RGB16F targets: RGBA16F (the renderable one);
//   - glPushAttrib/glPopAttrib of the viewport;
//   - GLSL 1.20 sources: brought to GLSL ES 3.00 as they are handed over;
//   - enables and hints that only desktop GL knows are taken and ignored.
// The ES 3.0 entry points are linked directly; there is nothing to load.

#include <GLES3/gl3.h>

#include <string>

#define GL_QUADS 0x0007
#define GL_CLAMP 0x2900
#define GL_POINT_SMOOTH 0x0B10
#define GL_LINE_SMOOTH 0x0B20
#define GL_POINT_SMOOTH_HINT 0x0C51
#define GL_LINE_SMOOTH_HINT 0x0C52
#define GL_TEXTURE_CUBE_MAP_SEAMLESS 0x884F
#define GL_VIEWPORT_BIT 0x00000800

void glRecti(GLint x1, GLint y1, GLint x2, GLint y2);
void glBegin(GLenum mode);  // GL_QUADS only
void glEnd();
void glVertex2i(GLint x, GLint y);
void glVertex3f(GLfloat x, GLfloat y, GLfloat z);
void glTexCoord2i(GLint s, GLint t);
void glTexCoord2f(GLfloat s, GLfloat t);
void glColor3f(GLfloat r, GLfloat g, GLfloat b);
void glColor4f(GLfloat r, GLfloat g, GLfloat b, GLfloat a);
void glPushAttrib(GLbitfield mask);  // GL_VIEWPORT_BIT only
void glPopAttrib();

// Calls ES 3.0 has, but with arguments it refuses: they pass through here.
void webglEnable(GLenum capability);
void webglDisable(GLenum capability);
void webglHint(GLenum target, GLenum mode);
void webglUniform1i(GLint location, GLint value);  // remembers the sampler units
void webglTexParameterf(GLenum target, GLenum name, GLfloat value);
void webglTexImage2D(GLenum target, GLint level, GLint internalFormat, GLsizei width, GLsizei height,
                     GLint border, GLenum format, GLenum type, const void* pixels);
void webglShaderSource(GLuint shader, GLsizei count, const GLchar* const* strings, const GLint* lengths);

#ifndef VELVORIA_WEBGL_OWN_CALLS
#define glEnable webglEnable
#define glDisable webglDisable
#define glHint webglHint
#define glUniform1i webglUniform1i
#define glTexParameterf webglTexParameterf
#define glTexImage2D webglTexImage2D
#define glShaderSource webglShaderSource
#endif

// A GLSL 1.20 source as GLSL ES 3.00: the version line and the extension
// line go (ES 3.00 has flat inputs and texelFetch, so the shaders take the
// path written for GL_EXT_gpu_shader4), attributes, varyings, the built-in
// vertex inputs and fragment outputs and the old texture functions get their
// ES 3.00 forms, and the default precision is high. Line numbers stay.
// A source that is already GLSL ES comes back as it is.
std::string translateToGlslEs(const std::string& source, GLenum type);
