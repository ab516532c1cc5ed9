#include "GLError.h"

#include <cstdio>

Quib::String glErrorMessage(GLenum error) {
    const GLubyte* text = gluErrorString(error);
    if (text)
        return Quib::String("GL error has occurred: ") + reinterpret_cast<const char*>(text);
    char code[32];
    std::snprintf(code, sizeof code, "unknown error 0x%04X", static_cast<unsigned>(error));
    return Quib::String("GL error has occurred: ") + code;
}
