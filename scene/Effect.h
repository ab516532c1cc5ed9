#pragma once

// A scene effect: draws one complete frame for a demo time in seconds.
class Effect {
public:
    virtual void render(double timeSeconds) = 0;

protected:
    ~Effect() = default;  // never destroyed through the interface
};
