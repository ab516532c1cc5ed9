#include <SDL.h>

#include "Sync.h"

uint32_t wallClockMilliseconds() { return SDL_GetTicks(); }
