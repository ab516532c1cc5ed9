#pragma once

// The playback interface the demo clock reads. Positions are seconds.
class Audio {
public:
    virtual void update() = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual void stop() = 0;
    virtual bool hasChannel() = 0;
    virtual bool isPlaying() = 0;
    virtual double getPosition() = 0;
    virtual void setPosition(double seconds) = 0;

protected:
    ~Audio() = default;  // never destroyed through the interface
};
