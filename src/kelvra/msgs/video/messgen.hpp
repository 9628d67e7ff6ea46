#pragma once

// Framing shared by every channel: a one-byte message id, a little-endian uint32 payload size
// and the payload. Fields are packed little-endian; dynamic arrays and strings carry a uint32
// count and are copied into a caller-owned parse arena when read.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "kelvra/core/byte_order.hpp"
#include "kelvra/core/slice.hpp"

namespace kelvra::messgen {

constexpr size_t kFrameHeaderSize = 5;

// View of one received frame; valid only while the buffer it points into is unchanged.
struct MessageInfo {
    uint8_t type_id = 0;
    uint32_t size = 0;
    const uint8_t* payload = nullptr;
};

// Static description of a message: its name, schema text and the nested messages it uses.
struct Metadata {
    const char* name;
    const char* schema;
    const char* nested;
};

// Dynamic array as parsed: elements live in the parse arena (or, when serialising, anywhere).
template <typename T>
struct Dynamic {
    T* ptr = nullptr;
    uint32_t size = 0;

    T* begin() const { return ptr; }
    T* end() const { return ptr + size; }
};

// Fixed scratch area that parsing copies variable-length contents into. Reset, never freed.
class Arena {
public:
    Arena(uint8_t* base, size_t capacity) : base_(base), capacity_(capacity) {}

    void reset() { used_ = 0; }
    size_t remaining() const { return capacity_ - used_; }
    size_t capacity() const { return capacity_; }

    // Returns `bytes` of storage aligned to `align`, or nullptr when the area has no room.
    void* allocate(size_t bytes, size_t align) {
        const auto addr = reinterpret_cast<uintptr_t>(base_) + used_;
        const size_t pad = (align - addr % align) % align;
        if (pad > remaining() || bytes > remaining() - pad) return nullptr;
        uint8_t* out = base_ + used_ + pad;
        used_ += pad + bytes;
        return out;
    }

private:
    uint8_t* base_;
    size_t capacity_;
    size_t used_ = 0;
};

// An arena that owns its storage, allocated once. The storage is left as it comes: parsing
// writes before it reads, and a large arena then takes memory only as far as it is used.
class OwnedArena : public Arena {
public:
    explicit OwnedArena(size_t capacity)
        : OwnedArena(std::make_unique_for_overwrite<uint8_t[]>(capacity), capacity) {}

private:
    OwnedArena(std::unique_ptr<uint8_t[]> storage, size_t capacity)
        : Arena(storage.get(), capacity), storage_(std::move(storage)) {}
    std::unique_ptr<uint8_t[]> storage_;
};

using kelvra::load_le;
using kelvra::store_le;

// Bounds-checked cursor over a payload.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    template <typename T>
    bool get(T& out) {
        if (remaining() < sizeof(T)) return false;
        out = load_le<T>(data_ + pos_);
        pos_ += sizeof(T);
        return true;
    }
    bool get_bytes(uint8_t* out, size_t n) {
        if (remaining() < n) return false;
        if (n != 0) std::memcpy(out, data_ + pos_, n);
        pos_ += n;
        return true;
    }
    const uint8_t* cursor() const { return data_ + pos_; }
    void skip(size_t n) { pos_ += n; }
    size_t remaining() const { return size_ - pos_; }
    size_t consumed() const { return pos_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Unchecked cursor over an output area whose size was checked beforehand.
class Writer {
public:
    explicit Writer(uint8_t* dst) : dst_(dst) {}

    template <typename T>
    void put(T value) {
        store_le<T>(dst_, value);
        dst_ += sizeof(T);
    }
    void put_bytes(const void* src, size_t n) {
        if (n != 0) std::memcpy(dst_, src, n);
        dst_ += n;
    }

private:
    uint8_t* dst_;
};

// How far a walk over frames got: the bytes of the complete frames it handed on, and whether it
// stopped at a frame announcing more than the walk's bound.
struct FrameWalk {
    size_t consumed = 0;
    bool oversized = false;
};

// Calls `on_frame(const MessageInfo&)` for every complete frame at the front of the buffer; an
// incomplete frame at the end is left over. A frame, complete or not, whose header announces more
// than `max_payload` bytes ends the walk before it is handed on.
template <typename OnFrame>
FrameWalk walk_frames_bounded(const uint8_t* data, size_t size, uint64_t max_payload,
                              OnFrame&& on_frame) {
    size_t pos = 0;
    while (size - pos >= kFrameHeaderSize) {
        const uint32_t payload_size = load_le<uint32_t>(data + pos + 1);
        if (payload_size > max_payload) return {pos, true};
        if (payload_size > size - pos - kFrameHeaderSize) break;
        on_frame(MessageInfo{data[pos], payload_size, data + pos + kFrameHeaderSize});
        pos += kFrameHeaderSize + payload_size;
    }
    return {pos, false};
}

// Same without a bound; returns the number of bytes the complete frames take.
template <typename OnFrame>
size_t walk_frames(const uint8_t* data, size_t size, OnFrame&& on_frame) {
    return walk_frames_bounded(data, size, UINT32_MAX, on_frame).consumed;
}

// The complete frame at the front of the buffer, if there is one.
inline std::optional<MessageInfo> front_frame(const uint8_t* data, size_t size) {
    if (size < kFrameHeaderSize) return std::nullopt;
    const uint32_t payload_size = load_le<uint32_t>(data + 1);
    if (payload_size > size - kFrameHeaderSize) return std::nullopt;
    return MessageInfo{data[0], payload_size, data + kFrameHeaderSize};
}

// Length of the complete frames at the front of the buffer.
inline size_t complete_frames_length(const uint8_t* data, size_t size) {
    return walk_frames(data, size, [](const MessageInfo&) {});
}

}  // namespace kelvra::messgen
