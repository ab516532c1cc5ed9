#pragma once

#include <cstdint>

// The random number generator of the GNU C library (its default additive
// feedback generator, the one behind srand and rand), for runtimes whose own
// generator differs: the sphere layout is the one this generator gives.
class GlibcRandom {
public:
    explicit GlibcRandom(unsigned seed = 1) { seedWith(seed); }

    void seedWith(unsigned seed) {
        int32_t word = int32_t(seed == 0 ? 1 : seed);
        state[0] = uint32_t(word);
        for (int i = 1; i < 31; ++i) {
            // 16807 * word % 2147483647 without overflowing 31 bits.
            int32_t hi = word / 127773, lo = word % 127773;
            word = 16807 * lo - 2836 * hi;
            if (word < 0)
                word += 2147483647;
            state[i] = uint32_t(word);
        }
        front = 3;
        rear = 0;
        for (int i = 0; i < 310; ++i)
            next();
    }

    // 0 to 2147483647.
    int next() {
        state[front] += state[rear];
        int result = int(state[front] >> 1);
        front = front == 30 ? 0 : front + 1;
        rear = rear == 30 ? 0 : rear + 1;
        return result;
    }

private:
    uint32_t state[31];
    int front, rear;
};
