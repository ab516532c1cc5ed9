#pragma once

// One GL window and context for the resource tests, with the entry points
// loaded, plus what the tests need beyond the program's own procedures.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Extensions.h"
#include "quib/String.h"

// Null when no context could be made (no display).
bool haveGLContext();

// Entry points only the tests call, fetched through SDL.
struct TestProcs {
    PFNGLGETFRAMEBUFFERATTACHMENTPARAMETERIVPROC getFramebufferAttachmentParameteriv;
    PFNGLGETRENDERBUFFERPARAMETERIVPROC getRenderbufferParameteriv;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC checkFramebufferStatus;
    PFNGLISFRAMEBUFFERPROC isFramebuffer;
    PFNGLISRENDERBUFFERPROC isRenderbuffer;
    PFNGLISSHADERPROC isShader;
    PFNGLISPROGRAMPROC isProgram;
};
const TestProcs& testProcs();

// Loads the program's entry points again through SDL (after a test that
// left some of them null).
void reloadExtensions();

// Every test starts with no GL error pending and ends checking none is left.
class GLTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// A path in the test's temporary directory.
std::string tempPath(const std::string& name);
void writeFile(const std::string& path, const std::string& text);

// Writes pixels (components per pixel 1, 3 or 4) as PNG or JPEG.
void writePng(const std::string& path, int width, int height, int components, const std::vector<unsigned char>& pixels);
void writeJpeg(const std::string& path, int width, int height, int components, const std::vector<unsigned char>& pixels);

// How many of the texture names 1 to 4096 are textures now.
int countTextureNames();
