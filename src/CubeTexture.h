#pragma once

#include "Extensions.h"
#include "quib/String.h"

// A cube map cut from one image holding the six faces as a vertical cross,
// three faces wide and four tall:
//
//        +Y
//    -X  +Z  +X
//        -Y
//        -Z   (turned half a turn)
class CubeTexture {
public:
    // Throws when the image cannot be decoded or GL refuses a face; the
    // texture name is deleted then.
    explicit CubeTexture(const Quib::String& path);
    ~CubeTexture();

    CubeTexture(const CubeTexture&) = delete;
    CubeTexture& operator=(const CubeTexture&) = delete;

    void bind(int unit);

    GLuint id;
    int width, height;  // of the whole cross image, not of a face
};
