#pragma once

#include <vector>

#include "Renderer.h"

// --bench: each time rendered once to warm up (first-use costs stay out of
// the numbers), then five times measured; the median frame time and, where
// GL has timer queries, the median time of each pass, on standard output.
// The exit status.
int bench(Renderer& r, const std::vector<double>& times);
