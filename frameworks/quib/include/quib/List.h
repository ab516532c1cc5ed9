#pragma once

#include <cstdint>
#include <new>

#include "quib/String.h"

namespace Quib {

// A growable array that grows by a fixed step of 8 slots and checks every
// index against the number of elements in use. Users read `count` directly to
// loop over the elements.
template <typename T>
class List {
public:
    int capacity = 0;
    int count = 0;
    T* items = nullptr;

    List() = default;
    List(const List&) = delete;
    List& operator=(const List&) = delete;
    ~List() { clear(); }

    // A failed allocation (or copy) leaves the list as it was, the count
    // included, and goes on to the caller.
    void add(const T& item) {
        ++count;
        try {
            reserve();
            items[count - 1] = item;
        } catch (...) {
            --count;
            throw;
        }
    }

    T& operator[](int index) {
        if (index < 0 || index >= count)
            throw Exception("Index out of bounds", "Quib/List", 129);
        return items[index];
    }
    const T& operator[](int index) const {
        if (index < 0 || index >= count)
            throw Exception("Index out of bounds", "Quib/List", 129);
        return items[index];
    }

    // Makes the slot array large enough for `count`, in steps of 8 slots.
    void reserve() {
        if (count <= capacity)
            return;
        int64_t newCapacity = capacity + 8 * ((int64_t(count) - capacity + 7) / 8);
        if (newCapacity * int64_t(sizeof(T)) > int64_t(UINT32_MAX))
            throw std::bad_alloc();
        T* grown = new T[newCapacity];
        for (int i = 0; i < capacity; ++i)
            grown[i] = items[i];
        delete[] items;
        capacity = int(newCapacity);
        items = grown;
    }

    void clear() {
        count = 0;
        capacity = 0;
        delete[] items;
        items = nullptr;
    }
};

}  // namespace Quib
