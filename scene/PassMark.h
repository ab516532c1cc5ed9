#pragma once

// The passes of a frame, in order.
enum class Pass { GBuffer, Occlusion, SkyAndComposite, FinalPass, Bloom, Credits, End };

// Who listens to where each pass starts (and where the frame's passes end):
// a benchmark, to time them. A function and the context it is called with;
// by default nobody listens and a mark costs one test.
struct PassHook {
    void (*listener)(void* context, Pass pass) = nullptr;
    void* context = nullptr;

    void mark(Pass pass) const {
        if (listener)
            listener(context, pass);
    }
};
