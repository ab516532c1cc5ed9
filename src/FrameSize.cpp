#include "FrameSize.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

void fitFrame(int areaWidth, int areaHeight, int minHeight, int& width, int& height) {
    long long side = std::min({(long long)areaHeight, (long long)areaWidth * 9 / 16, (long long)largestFrameHeight});
    height = int(std::max((long long)minHeight, side));
    width = (height * 16 + 4) / 9;
}

bool parseFrameSize(const char* text, int& width, int& height) {
    const char* const digits = "0123456789";
    size_t split = std::strspn(text, digits);
    if (split == 0 || (text[split] != 'x' && text[split] != 'X'))
        return false;
    const char* second = text + split + 1;
    size_t rest = std::strspn(second, digits);
    if (rest == 0 || second[rest] != 0)
        return false;
    // The ranges first: the product of a huge number would overflow.
    long w = std::strtol(text, nullptr, 10), h = std::strtol(second, nullptr, 10);
    if (w < 640 || w > 3840 || h < 360 || h > 2160 || w * 9 != h * 16 || w % 2 || h % 2)
        return false;
    width = int(w);
    height = int(h);
    return true;
}
