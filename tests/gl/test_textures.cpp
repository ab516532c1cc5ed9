#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "GLContext.h"
#include "Texture.h"

namespace {

using TextureTest = GLTest;

// The level-0 image of the bound 2-D texture as RGBA bytes.
std::vector<unsigned char> readBack(const Texture& texture) {
    std::vector<unsigned char> pixels(static_cast<size_t>(texture.width) * texture.height * 4);
    glBindTexture(GL_TEXTURE_2D, texture.id);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return pixels;
}

GLint boundTexture2D() {
    GLint bound = -1;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    return bound;
}

void expectLinearFilters(const Texture& texture) {
    GLint minFilter = 0, magFilter = 0;
    glBindTexture(GL_TEXTURE_2D, texture.id);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &minFilter);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &magFilter);
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(minFilter, GL_LINEAR);
    EXPECT_EQ(magFilter, GL_LINEAR);
}

// A 5 x 3 image: the top row red, the rest a blue ramp.
std::vector<unsigned char> rgbImage() {
    std::vector<unsigned char> rgb;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            rgb.push_back(y == 0 ? 255 : 0);
            rgb.push_back(0);
            rgb.push_back(y == 0 ? 0 : 40 * x + 50 * y);
        }
    return rgb;
}

TEST_F(TextureTest, RgbPngBecomesOpaqueRgbaTopRowFirst) {
    std::string path = tempPath("rgb.png");
    writePng(path, 5, 3, 3, rgbImage());
    Texture texture(path.c_str());
    EXPECT_EQ(texture.width, 5);
    EXPECT_EQ(texture.height, 3);
    EXPECT_EQ(boundTexture2D(), 0);
    expectLinearFilters(texture);

    std::vector<unsigned char> rgb = rgbImage();
    std::vector<unsigned char> rgba = readBack(texture);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(rgba[i * 4 + 0], rgb[i * 3 + 0]) << "pixel " << i;
        EXPECT_EQ(rgba[i * 4 + 1], rgb[i * 3 + 1]) << "pixel " << i;
        EXPECT_EQ(rgba[i * 4 + 2], rgb[i * 3 + 2]) << "pixel " << i;
        EXPECT_EQ(rgba[i * 4 + 3], 255) << "pixel " << i;
    }
}

TEST_F(TextureTest, GreyImagesSpreadToFourComponents) {
    std::vector<unsigned char> grey(8 * 8);
    for (int i = 0; i < 64; ++i)
        grey[i] = static_cast<unsigned char>(i * 4);
    std::string png = tempPath("grey.png"), jpeg = tempPath("grey.jpg");
    writePng(png, 8, 8, 1, grey);
    writeJpeg(jpeg, 8, 8, 1, grey);

    for (const std::string& path : {png, jpeg}) {
        SCOPED_TRACE(path);
        Texture texture(path.c_str());
        std::vector<unsigned char> rgba = readBack(texture);
        const int tolerance = path == png ? 0 : 12;  // JPEG is lossy
        for (int i = 0; i < 64; ++i) {
            EXPECT_NEAR(rgba[i * 4 + 0], grey[i], tolerance);
            EXPECT_EQ(rgba[i * 4 + 0], rgba[i * 4 + 1]);
            EXPECT_EQ(rgba[i * 4 + 0], rgba[i * 4 + 2]);
            EXPECT_EQ(rgba[i * 4 + 3], 255);
        }
    }
}

TEST_F(TextureTest, RgbJpegIsOpaque) {
    std::vector<unsigned char> rgb(16 * 16 * 3, 0);
    for (int i = 0; i < 16 * 16; ++i)
        rgb[i * 3 + 1] = 200;
    std::string path = tempPath("rgb.jpg");
    writeJpeg(path, 16, 16, 3, rgb);
    Texture texture(path.c_str());
    std::vector<unsigned char> rgba = readBack(texture);
    for (int i = 0; i < 16 * 16; ++i) {
        EXPECT_NEAR(rgba[i * 4 + 1], 200, 6);
        EXPECT_EQ(rgba[i * 4 + 3], 255);
    }
}

TEST_F(TextureTest, UnreadableImagesNameThePathInQuotes) {
    std::string notImage = tempPath("not_an_image.png");
    writeFile(notImage, "this is text, not pixels\n");
    // A FIFO would block the decoder's open until a writer came.
    std::string fifo = tempPath("fifo.png");
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {std::string("no/such/image.png"), notImage, fifo}) {
        int before = countTextureNames();
        try {
            Texture texture(path.c_str());
            ADD_FAILURE() << "loaded " << path;
        } catch (const Quib::Exception& e) {
            EXPECT_EQ(std::string(e.getMessage().cStr()), "Could not load texture \"" + path + "\"");
            EXPECT_STREQ(e.getFile().cStr(), "src\\Texture");
            EXPECT_EQ(e.getLine(), 21);
        }
        EXPECT_EQ(countTextureNames(), before);
    }
    std::remove(fifo.c_str());

    // A header declaring more than the driver takes is refused from the
    // header alone, naming the file: the pixels it promises are not there.
    GLint limit = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
    std::string huge = tempPath("huge.png");
    unsigned char header[33] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    const unsigned side = unsigned(limit) + 1;
    for (int i = 0; i < 2; ++i)
        for (int b = 0; b < 4; ++b)
            header[16 + 4 * i + b] = static_cast<unsigned char>(side >> (24 - 8 * b));
    header[24] = 8;  // bits per sample; grey (a larger RGBA image is beyond stb_image itself)
    header[25] = 0;
    writeFile(huge, std::string(reinterpret_cast<const char*>(header), sizeof header));
    try {
        Texture texture(huge.c_str());
        ADD_FAILURE() << "loaded " << huge;
    } catch (const Quib::Exception& e) {
        std::string size = std::to_string(side);
        EXPECT_EQ(std::string(e.getMessage().cStr()), "Texture \"" + huge + "\" is " + size + " x " + size +
                                                          " pixels, more than the " + std::to_string(limit) +
                                                          " this OpenGL takes");
        EXPECT_EQ(e.getLine(), 21);
    }
}

TEST_F(TextureTest, EmptyTextureHasTheAskedFormatAndIsDeleted) {
    GLuint id;
    {
        Texture texture(40, 30, GL_RGB16F);
        id = texture.id;
        EXPECT_EQ(boundTexture2D(), 0);
        expectLinearFilters(texture);
        GLint format = 0, width = 0, height = 0;
        glBindTexture(GL_TEXTURE_2D, texture.id);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        glBindTexture(GL_TEXTURE_2D, 0);
        EXPECT_EQ(format, GL_RGB16F);
        EXPECT_EQ(width, 40);
        EXPECT_EQ(height, 30);
    }
    EXPECT_FALSE(glIsTexture(id));
}

TEST_F(TextureTest, BindSelectsTheUnit) {
    Texture texture(4, 4, GL_RGBA);
    texture.bind(2);
    GLint active = 0;
    glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
    EXPECT_EQ(active, GL_TEXTURE2);
    EXPECT_EQ(boundTexture2D(), static_cast<GLint>(texture.id));
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);
    EXPECT_EQ(boundTexture2D(), 0);
}

using RenderTargetTest = GLTest;

GLint attachmentParameter(GLenum attachment, GLenum parameter) {
    GLint value = -1;
    testProcs().getFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, attachment, parameter, &value);
    return value;
}

TEST_F(RenderTargetTest, GeometryBufferShape) {
    RenderTarget target(1280, 720, true, 3, GL_RGB16F);
    EXPECT_EQ(target.colourCount, 3);
    EXPECT_EQ(target.width, 1280);
    EXPECT_EQ(target.height, 720);
    GLint bound = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0);
    glGetIntegerv(GL_RENDERBUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0);
    EXPECT_EQ(boundTexture2D(), 0);

    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    EXPECT_EQ(testProcs().checkFramebufferStatus(GL_FRAMEBUFFER), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(target.colourTextures[i]->width, 1280);
        EXPECT_EQ(target.colourTextures[i]->height, 720);
        EXPECT_EQ(attachmentParameter(GL_COLOR_ATTACHMENT0 + i, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_TEXTURE);
        EXPECT_EQ(attachmentParameter(GL_COLOR_ATTACHMENT0 + i, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
                  static_cast<GLint>(target.colourTextures[i]->id));
        GLint drawBuffer = -1;
        glGetIntegerv(GL_DRAW_BUFFER0 + i, &drawBuffer);
        EXPECT_EQ(drawBuffer, GL_COLOR_ATTACHMENT0 + i);
    }
    EXPECT_EQ(attachmentParameter(GL_COLOR_ATTACHMENT3, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_NONE);
    GLint drawBuffer = -1;
    glGetIntegerv(GL_DRAW_BUFFER3, &drawBuffer);
    EXPECT_EQ(drawBuffer, GL_NONE);

    EXPECT_NE(target.depthRenderbuffer, 0u);
    EXPECT_EQ(attachmentParameter(GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_RENDERBUFFER);
    EXPECT_EQ(attachmentParameter(GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              static_cast<GLint>(target.depthRenderbuffer));
    glBindFramebuffer(GL_FRAMEBUFFER, 0);

    GLint width = 0, height = 0, format = 0;
    glBindRenderbuffer(GL_RENDERBUFFER, target.depthRenderbuffer);
    testProcs().getRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_WIDTH, &width);
    testProcs().getRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_HEIGHT, &height);
    testProcs().getRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_INTERNAL_FORMAT, &format);
    glBindRenderbuffer(GL_RENDERBUFFER, 0);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    EXPECT_EQ(format, GL_DEPTH_COMPONENT24);
}

TEST_F(RenderTargetTest, WithoutDepthHasNoRenderbuffer) {
    RenderTarget target(128, 128, false, 1, GL_R8);
    EXPECT_EQ(target.depthRenderbuffer, 0u);
    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    EXPECT_EQ(attachmentParameter(GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_NONE);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

TEST_F(RenderTargetTest, DrawingLandsInTheTexture) {
    RenderTarget target(16, 16, true, 1, GL_RGBA);
    glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    glViewport(0, 0, 16, 16);
    glClearColor(0.0f, 1.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    std::vector<unsigned char> rgba = readBack(*target.colourTextures[0]);
    EXPECT_EQ(rgba[0], 0);
    EXPECT_EQ(rgba[1], 255);
    EXPECT_EQ(rgba[16 * 16 * 4 - 3], 255);
}

TEST_F(RenderTargetTest, DestructionDeletesEveryObject) {
    GLuint framebuffer, depth, textures[2];
    {
        RenderTarget target(32, 32, true, 2, GL_RGBA);
        framebuffer = target.framebuffer;
        depth = target.depthRenderbuffer;
        textures[0] = target.colourTextures[0]->id;
        textures[1] = target.colourTextures[1]->id;
        EXPECT_TRUE(testProcs().isFramebuffer(framebuffer));
        EXPECT_TRUE(testProcs().isRenderbuffer(depth));
    }
    EXPECT_FALSE(testProcs().isFramebuffer(framebuffer));
    EXPECT_FALSE(testProcs().isRenderbuffer(depth));
    EXPECT_FALSE(glIsTexture(textures[0]));
    EXPECT_FALSE(glIsTexture(textures[1]));
}

TEST_F(RenderTargetTest, ColourCountsOutsideOneToNineAreRefused) {
    int textures = countTextureNames();
    for (int count : {10, 64, 0, -1}) {
        SCOPED_TRACE(count);
        try {
            RenderTarget target(16, 16, true, count, GL_RGBA);
            ADD_FAILURE() << "made a target";
        } catch (const Quib::Exception& e) {
            EXPECT_STREQ(e.getMessage().cStr(), count > 9 ? "Too many colour textures for a render target"
                                                          : "Too few colour textures for a render target");
            EXPECT_STREQ(e.getFile().cStr(), "src\\Texture");
            EXPECT_EQ(e.getLine(), 60);
        }
    }
    EXPECT_EQ(countTextureNames(), textures);
    GLint bound = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0);
}

}  // namespace

TEST_F(RenderTargetTest, AnIncompleteTargetIsNamedAndLeavesNothing) {
    int textures = countTextureNames();
    // Wider than any texture the driver makes: the attachment has no image.
    GLint largest = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &largest);
    try {
        RenderTarget target(largest + 1, 32, true, 1, GL_RGBA8);
        ADD_FAILURE() << "made a target";
    } catch (const Quib::Exception& e) {
        std::string message = e.getMessage().cStr();
        EXPECT_EQ(message, "Could not make a " + std::to_string(largest + 1) +
                               "x32 render target of GL_RGBA8 textures with a depth buffer: "
                               "GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT");
    }
    EXPECT_EQ(countTextureNames(), textures);
    GLint bound = -1;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(bound, 0);
    while (glGetError() != GL_NO_ERROR) {
    }
}
