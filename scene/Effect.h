#pragma once

#include "scene/PassMark.h"

// A scene effect: draws one complete frame for a demo time in seconds.
class Effect {
public:
    virtual void render(double timeSeconds) = 0;

    // Told by the Demo where a listener wants the passes marked.
    PassHook passHook;

protected:
    ~Effect() = default;  // never destroyed through the interface
};
