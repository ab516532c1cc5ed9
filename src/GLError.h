#pragma once

#include "Extensions.h"
#include "quib/String.h"

// "GL error has occurred: " followed by GLU's text for the error, or by
// "unknown error 0x" and the code in hex when GLU has no text for it.
Quib::String glErrorMessage(GLenum error);
