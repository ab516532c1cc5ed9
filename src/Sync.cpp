#include "Sync.h"

#include "Audio.h"
#include "quib/String.h"

Sync& Sync::instance() {
    // Made on first use and never destroyed; a failed creation throws and
    // the next use tries again.
    static Sync* clock = nullptr;
    if (!clock)
        clock = new Sync(wallClockMilliseconds);
    return *clock;
}

Sync::Sync(Timer timer, const char* basePath)
    : timer(timer), audio(nullptr), startTime(timer()), device(createDevice(basePath)), rowRate(0.0) {
    if (!device)
        throw Quib::Exception("Could not initialize Rocket", "src\\Sync", 48);
}

Sync::~Sync() { destroyDevice(device); }

void Sync::setAudio(Audio* player) { audio = player; }

void Sync::setRowRate(double rowsPerSecond) { rowRate = rowsPerSecond; }

double Sync::getTime() {
    if (audio && audio->hasChannel())
        return audio->getPosition();
    uint32_t elapsed = timer() - startTime;  // right across the wrap-around
    return double(elapsed) / 1000.0;
}

float Sync::getValue(const char* name) {
    if (!audio)
        return 0.0f;
    return valueAtRow(getTrack(device, name), getRow());
}

double Sync::getRow() { return audio ? audio->getPosition() * rowRate : 0.0; }

float Sync::getValueAt(const char* name, double row) { return valueAtRow(getTrack(device, name), row); }
