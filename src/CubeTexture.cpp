#include "CubeTexture.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <stb/stb_image.h>

#include "GLError.h"
#include "Texture.h"
#include "platform/PathKind.h"

using Quib::Exception;
using Quib::String;

namespace {

struct ImageFree {
    void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

// Top-left tile (column, row) of faces +X, -X, +Y, -Y, +Z, -Z in the cross.
const int faceTiles[6][2] = {{2, 1}, {0, 1}, {1, 0}, {1, 2}, {1, 1}, {1, 3}};

}  // namespace

CubeTexture::CubeTexture(const String& path) : id(0), width(0), height(0) {
    refuseOversizedImage(path, "src\\CubeTexture", 9);
    int components = 0;
    const char* name = path.cStr() ? path.cStr() : "";
    std::unique_ptr<stbi_uc, ImageFree> pixels(
        isFileOrDirectory(name) ? stbi_load(name, &width, &height, &components, 4) : nullptr);
    if (!pixels)
        throw Exception("Could not load texture \"" + path + "\"", "src\\CubeTexture", 9);

    glGenTextures(1, &id);
    try {
        glBindTexture(GL_TEXTURE_CUBE_MAP, id);

        const int w = width / 3, h = height / 4;
        // The upload below fails with OpenGL's bare "invalid value", which
        // names no file: say which one, and why, first.
        if (w != h || w == 0)
            std::fprintf(stderr,
                         "velvoria: \"%s\" is %d x %d pixels: a cube cross is 3 square faces wide and 4 tall, "
                         "and this one's faces would be %d x %d\n",
                         name, width, height, w, h);
        const uint32_t* image = reinterpret_cast<const uint32_t*>(pixels.get());
        std::vector<uint32_t> staging(static_cast<size_t>(w) * h);

        for (int face = 0; face < 6; ++face) {
            const int left = faceTiles[face][0] * w, top = faceTiles[face][1] * h;
            for (int r = 0; r < h; ++r) {
                // Not &staging[...]: an image under 3 pixels wide gives faces
                // of no width and an empty buffer, which must not be indexed.
                uint32_t* out = staging.data() + static_cast<size_t>(r) * w;
                if (face < 5) {
                    const uint32_t* in = image + static_cast<size_t>(top + r) * width + left;
                    for (int x = 0; x < w; ++x)
                        out[x] = in[x];
                } else {
                    // The bottom tile is stored upside down and mirrored.
                    const uint32_t* in = image + static_cast<size_t>(4 * h - 1 - r) * width;
                    for (int x = 0; x < w; ++x)
                        out[x] = in[2 * w - 1 - x];
                }
            }
            glTexImage2D(GL_TEXTURE_CUBE_MAP_POSITIVE_X + face, 0, GL_RGBA, w, h, 0, GL_RGBA,
                         GL_UNSIGNED_BYTE, staging.data());
            GLenum error = glGetError();
            if (error != GL_NO_ERROR)
                throw Exception(glErrorMessage(error), "src\\CubeTexture", 37);
        }
    } catch (...) {
        glDeleteTextures(1, &id);
        id = 0;
        throw;
    }

    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
}

CubeTexture::~CubeTexture() {
    glDeleteTextures(1, &id);
}

void CubeTexture::bind(int unit) {
    glActiveTexture(GL_TEXTURE0 + unit);
    glBindTexture(GL_TEXTURE_CUBE_MAP, id);
}
