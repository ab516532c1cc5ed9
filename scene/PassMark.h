#pragma once

// The passes of a frame, in order. A benchmark may listen to where each one
// starts (and where the frame's passes end) to time them; by default nobody
// listens and a mark costs one test.
enum class Pass { GBuffer, Occlusion, SkyAndComposite, FinalPass, Bloom, Credits, End };

extern void (*passListener)(Pass pass);

inline void markPass(Pass pass) {
    if (passListener)
        passListener(pass);
}
