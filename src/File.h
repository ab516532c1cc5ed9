#pragma once

#include "quib/String.h"

// Reads a whole text file. Throws when the file cannot be opened.
Quib::String readFile(const Quib::String& path);
