#pragma once

// The OpenGL entry points beyond version 1.1, fetched once at start-up.
//
// Include this header, not <GL/gl.h>, wherever GL is used. The procedures are
// called under their OpenGL names; each name is a macro for a process-wide
// pointer of our own (velvoria_glCreateShader and so on), so the pointers
// never clash with what the system's libGL exports under the same names.

#ifdef __EMSCRIPTEN__
// The browser: WebGL2, linked directly; see platform/web/WebGL.h.
#include "platform/web/WebGL.h"
#else

#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glu.h>

// Finds one procedure by name; null when the driver lacks it.
using ProcLookup = void* (*)(const char* name);

// Fetches all 42 procedures, in a fixed order, through lookup and stores each
// at once. Throws naming the first one that comes back null; the ones fetched
// before it stay set. Needs the window's GL context current.
void loadExtensions(ProcLookup lookup);

// Mesa's headers declare this one's pointer type only under a name of the
// multitexture extension.
typedef void (APIENTRYP VelvoriaClientActiveTextureProc)(GLenum texture);

// The table, in fetch order: X(pointer type, OpenGL name).
#define VELVORIA_GL_PROCEDURES(X) \
    X(PFNGLTEXIMAGE3DPROC, glTexImage3D) \
    X(PFNGLCREATESHADERPROC, glCreateShader) \
    X(PFNGLDELETESHADERPROC, glDeleteShader) \
    X(PFNGLSHADERSOURCEPROC, glShaderSource) \
    X(PFNGLCOMPILESHADERPROC, glCompileShader) \
    X(PFNGLATTACHSHADERPROC, glAttachShader) \
    X(PFNGLDETACHSHADERPROC, glDetachShader) \
    X(PFNGLGETSHADERIVPROC, glGetShaderiv) \
    X(PFNGLGETSHADERINFOLOGPROC, glGetShaderInfoLog) \
    X(PFNGLCREATEPROGRAMPROC, glCreateProgram) \
    X(PFNGLDELETEPROGRAMPROC, glDeleteProgram) \
    X(PFNGLLINKPROGRAMPROC, glLinkProgram) \
    X(PFNGLUSEPROGRAMPROC, glUseProgram) \
    X(PFNGLGETPROGRAMIVPROC, glGetProgramiv) \
    X(PFNGLGETPROGRAMINFOLOGPROC, glGetProgramInfoLog) \
    X(PFNGLACTIVETEXTUREPROC, glActiveTexture) \
    X(PFNGLGETUNIFORMLOCATIONPROC, glGetUniformLocation) \
    X(PFNGLUNIFORM1FPROC, glUniform1f) \
    X(PFNGLUNIFORM2FPROC, glUniform2f) \
    X(PFNGLUNIFORM3FPROC, glUniform3f) \
    X(PFNGLUNIFORM4FPROC, glUniform4f) \
    X(PFNGLUNIFORM1IPROC, glUniform1i) \
    X(PFNGLUNIFORM2IPROC, glUniform2i) \
    X(PFNGLUNIFORM3IPROC, glUniform3i) \
    X(PFNGLUNIFORM4IPROC, glUniform4i) \
    X(PFNGLUNIFORMMATRIX4FVPROC, glUniformMatrix4fv) \
    X(PFNGLGENRENDERBUFFERSPROC, glGenRenderbuffers) \
    X(PFNGLDELETERENDERBUFFERSPROC, glDeleteRenderbuffers) \
    X(PFNGLBINDRENDERBUFFERPROC, glBindRenderbuffer) \
    X(PFNGLRENDERBUFFERSTORAGEPROC, glRenderbufferStorage) \
    X(PFNGLGENFRAMEBUFFERSPROC, glGenFramebuffers) \
    X(PFNGLDELETEFRAMEBUFFERSPROC, glDeleteFramebuffers) \
    X(PFNGLBINDFRAMEBUFFERPROC, glBindFramebuffer) \
    X(PFNGLFRAMEBUFFERTEXTURE2DPROC, glFramebufferTexture2D) \
    X(PFNGLFRAMEBUFFERTEXTURELAYERPROC, glFramebufferTextureLayer) \
    X(PFNGLFRAMEBUFFERRENDERBUFFERPROC, glFramebufferRenderbuffer) \
    X(PFNGLDRAWBUFFERSPROC, glDrawBuffers) \
    X(PFNGLGENBUFFERSPROC, glGenBuffers) \
    X(PFNGLDELETEBUFFERSPROC, glDeleteBuffers) \
    X(PFNGLBINDBUFFERPROC, glBindBuffer) \
    X(PFNGLBUFFERDATAPROC, glBufferData) \
    X(VelvoriaClientActiveTextureProc, glClientActiveTexture)

#define VELVORIA_DECLARE_GL_PROCEDURE(type, name) extern type velvoria_##name;
VELVORIA_GL_PROCEDURES(VELVORIA_DECLARE_GL_PROCEDURE)
#undef VELVORIA_DECLARE_GL_PROCEDURE

#define glTexImage3D velvoria_glTexImage3D
#define glCreateShader velvoria_glCreateShader
#define glDeleteShader velvoria_glDeleteShader
#define glShaderSource velvoria_glShaderSource
#define glCompileShader velvoria_glCompileShader
#define glAttachShader velvoria_glAttachShader
#define glDetachShader velvoria_glDetachShader
#define glGetShaderiv velvoria_glGetShaderiv
#define glGetShaderInfoLog velvoria_glGetShaderInfoLog
#define glCreateProgram velvoria_glCreateProgram
#define glDeleteProgram velvoria_glDeleteProgram
#define glLinkProgram velvoria_glLinkProgram
#define glUseProgram velvoria_glUseProgram
#define glGetProgramiv velvoria_glGetProgramiv
#define glGetProgramInfoLog velvoria_glGetProgramInfoLog
#define glActiveTexture velvoria_glActiveTexture
#define glGetUniformLocation velvoria_glGetUniformLocation
#define glUniform1f velvoria_glUniform1f
#define glUniform2f velvoria_glUniform2f
#define glUniform3f velvoria_glUniform3f
#define glUniform4f velvoria_glUniform4f
#define glUniform1i velvoria_glUniform1i
#define glUniform2i velvoria_glUniform2i
#define glUniform3i velvoria_glUniform3i
#define glUniform4i velvoria_glUniform4i
#define glUniformMatrix4fv velvoria_glUniformMatrix4fv
#define glGenRenderbuffers velvoria_glGenRenderbuffers
#define glDeleteRenderbuffers velvoria_glDeleteRenderbuffers
#define glBindRenderbuffer velvoria_glBindRenderbuffer
#define glRenderbufferStorage velvoria_glRenderbufferStorage
#define glGenFramebuffers velvoria_glGenFramebuffers
#define glDeleteFramebuffers velvoria_glDeleteFramebuffers
#define glBindFramebuffer velvoria_glBindFramebuffer
#define glFramebufferTexture2D velvoria_glFramebufferTexture2D
#define glFramebufferTextureLayer velvoria_glFramebufferTextureLayer
#define glFramebufferRenderbuffer velvoria_glFramebufferRenderbuffer
#define glDrawBuffers velvoria_glDrawBuffers
#define glGenBuffers velvoria_glGenBuffers
#define glDeleteBuffers velvoria_glDeleteBuffers
#define glBindBuffer velvoria_glBindBuffer
#define glBufferData velvoria_glBufferData
#define glClientActiveTexture velvoria_glClientActiveTexture

#endif  // __EMSCRIPTEN__
