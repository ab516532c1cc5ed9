#pragma once

// The sizes the production renders at besides its reference frame: 16:9,
// even on both sides, from 640x360 to 3840x2160.

const int largestFrameHeight = 2160;

// The largest 16:9 picture in an area of this many pixels, at most
// largestFrameHeight high and at least minHeight (the area's own size is
// not checked against it).
void fitFrame(int areaWidth, int areaHeight, int minHeight, int& width, int& height);

// "WxH" (or "WXH"): digits, the letter, digits, nothing else, naming a 16:9
// size with even sides from 640x360 to 3840x2160. False, and the sizes
// untouched, for anything else.
bool parseFrameSize(const char* text, int& width, int& height);
