#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra {

// Read-only view of elements owned by someone else.
template <typename T>
struct ConstSlice {
    const T* data = nullptr;
    uint64_t size = 0;

    const T* begin() const { return data; }
    const T* end() const { return data + size; }
    bool empty() const { return size == 0; }
    const T& operator[](uint64_t i) const { return data[i]; }
};

// Writable view of a caller-owned buffer: writers append after `size` and never past `capacity`.
template <typename T>
struct Slice {
    T* data = nullptr;
    uint64_t size = 0;
    uint64_t capacity = 0;

    uint64_t free_space() const { return capacity - size; }
    T* end() { return data + size; }
    void clear() { size = 0; }
    ConstSlice<T> view() const { return {data, size}; }
};

// List of fixed capacity over caller-owned storage; `overflow` records a refused append.
template <typename T>
struct ArrayList {
    T* data = nullptr;
    uint64_t size = 0;
    uint64_t capacity = 0;
    bool overflow = false;

    ArrayList() = default;
    ArrayList(T* storage, uint64_t cap) : data(storage), capacity(cap) {}

    bool push_back(const T& value) {
        if (size >= capacity) {
            overflow = true;
            return false;
        }
        data[size++] = value;
        return true;
    }
    void clear() {
        size = 0;
        overflow = false;
    }
    T& operator[](uint64_t i) { return data[i]; }
    const T& operator[](uint64_t i) const { return data[i]; }
    T* begin() { return data; }
    T* end() { return data + size; }
};

}  // namespace kelvra
