#include <string>
#include <vector>

#include "CubeTexture.h"
#include "GLContext.h"

namespace {

using CubeTextureTest = GLTest;

// Each pixel of the cross names its own position: red and green the low
// bytes of x and y, blue the high bits of both.
void encode(int x, int y, unsigned char* rgb) {
    rgb[0] = static_cast<unsigned char>(x & 255);
    rgb[1] = static_cast<unsigned char>(y & 255);
    rgb[2] = static_cast<unsigned char>((x >> 8) | ((y >> 8) << 4));
}

void decode(const unsigned char* rgba, int* x, int* y) {
    *x = rgba[0] | ((rgba[2] & 15) << 8);
    *y = rgba[1] | ((rgba[2] >> 4) << 8);
}

std::string crossImage(int width, int height) {
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            encode(x, y, &rgb[(static_cast<size_t>(y) * width + x) * 3]);
    std::string path = tempPath("cross_" + std::to_string(width) + "x" + std::to_string(height) + ".png");
    writePng(path, width, height, 3, rgb);
    return path;
}

std::string expectFailure(const std::string& path, int line) {
    try {
        CubeTexture cube(path.c_str());
        ADD_FAILURE() << "loaded " << path;
    } catch (const Quib::Exception& e) {
        EXPECT_STREQ(e.getFile().cStr(), "src\\CubeTexture");
        EXPECT_EQ(e.getLine(), line);
        return e.getMessage().cStr();
    }
    return "";
}

TEST_F(CubeTextureTest, CutsSixFacesFromTheCross) {
    CubeTexture cube(crossImage(768, 1024).c_str());
    EXPECT_EQ(cube.width, 768);
    EXPECT_EQ(cube.height, 1024);
    GLint bound = -1;
    glGetIntegerv(GL_TEXTURE_BINDING_CUBE_MAP, &bound);
    EXPECT_EQ(bound, 0);

    // Top-left tile of +X, -X, +Y, -Y, +Z, -Z, in faces of 256.
    const int tiles[6][2] = {{2, 1}, {0, 1}, {1, 0}, {1, 2}, {1, 1}, {1, 3}};
    const int w = 256, h = 256;
    std::vector<unsigned char> face(w * h * 4);
    glBindTexture(GL_TEXTURE_CUBE_MAP, cube.id);
    for (int f = 0; f < 6; ++f) {
        SCOPED_TRACE(f);
        GLenum target = GL_TEXTURE_CUBE_MAP_POSITIVE_X + f;
        GLint faceWidth = 0, faceHeight = 0;
        glGetTexLevelParameteriv(target, 0, GL_TEXTURE_WIDTH, &faceWidth);
        glGetTexLevelParameteriv(target, 0, GL_TEXTURE_HEIGHT, &faceHeight);
        EXPECT_EQ(faceWidth, w);
        EXPECT_EQ(faceHeight, h);
        glGetTexImage(target, 0, GL_RGBA, GL_UNSIGNED_BYTE, face.data());
        int wrong = 0;
        for (int fy = 0; fy < h; ++fy)
            for (int fx = 0; fx < w; ++fx) {
                int x, y;
                decode(&face[(fy * w + fx) * 4], &x, &y);
                // -Z is the bottom tile turned half a turn.
                int wantX = f == 5 ? 2 * w - 1 - fx : tiles[f][0] * w + fx;
                int wantY = f == 5 ? 4 * h - 1 - fy : tiles[f][1] * h + fy;
                if (x != wantX || y != wantY || face[(fy * w + fx) * 4 + 3] != 255)
                    ++wrong;
            }
        EXPECT_EQ(wrong, 0);
        if (f == 5) {
            int x, y;
            decode(&face[0], &x, &y);
            EXPECT_EQ(x, 511);
            EXPECT_EQ(y, 1023);
        }
    }
    GLint minFilter = 0, magFilter = 0;
    glGetTexParameteriv(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MIN_FILTER, &minFilter);
    glGetTexParameteriv(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MAG_FILTER, &magFilter);
    EXPECT_EQ(minFilter, GL_LINEAR);
    EXPECT_EQ(magFilter, GL_LINEAR);
    glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
}

TEST_F(CubeTextureTest, NonSquareFacesFailWithoutLeavingATexture) {
    // 341 x 256 faces; and faces of no width from a cross 2 pixels wide,
    // whose staging buffer is empty.
    for (const std::string& path : {crossImage(1024, 1024), crossImage(2, 8)}) {
        SCOPED_TRACE(path);
        int before = countTextureNames();
        EXPECT_EQ(expectFailure(path, 37), "GL error has occurred: invalid value");
        EXPECT_EQ(countTextureNames(), before);
    }
}

TEST_F(CubeTextureTest, AnEarlierPendingErrorSurfacesAtTheFirstFace) {
    std::string path = crossImage(96, 128);
    glEnable(0x7FFF);  // no such capability: GL_INVALID_ENUM stays pending
    int before = countTextureNames();
    EXPECT_EQ(expectFailure(path, 37), "GL error has occurred: invalid enumerant");
    EXPECT_EQ(countTextureNames(), before);
}

TEST_F(CubeTextureTest, MissingImage) {
    int before = countTextureNames();
    EXPECT_EQ(expectFailure("no/such/cross.jpg", 9), "Could not load texture \"no/such/cross.jpg\"");
    EXPECT_EQ(countTextureNames(), before);
}

TEST_F(CubeTextureTest, BindUsesTheCubeTarget) {
    GLuint id;
    {
        CubeTexture cube(crossImage(96, 128).c_str());
        id = cube.id;
        cube.bind(3);
        GLint active = 0, bound = 0;
        glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
        glGetIntegerv(GL_TEXTURE_BINDING_CUBE_MAP, &bound);
        EXPECT_EQ(active, GL_TEXTURE3);
        EXPECT_EQ(bound, static_cast<GLint>(id));
        glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
        glActiveTexture(GL_TEXTURE0);
    }
    EXPECT_FALSE(glIsTexture(id));
}

}  // namespace
