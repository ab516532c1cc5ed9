#pragma once

#include "scene/PassMark.h"

// A scene effect: draws one complete frame for a demo time in seconds.
class Effect {
public:
    virtual void render(double timeSeconds) = 0;
    // The render size changed (setRenderSize): the full-size targets are
    // made again at it, between frames.
    virtual void resizeTargets() {}

    // Told by the Demo where a listener wants the passes marked.
    PassHook passHook;

protected:
    ~Effect() = default;  // never destroyed through the interface
};
