#pragma once

// Framing shared by every channel: a one-byte message id, a little-endian uint32 payload size
// and the payload. Fields are packed little-endian; dynamic arrays and strings carry a uint32
// count and are copied into a caller-owned parse arena when read.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

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

// Reads a byte array (uint32 count + bytes) into the arena.
inline bool read_bytes(Reader& r, Arena& arena, Dynamic<uint8_t>& out) {
    uint32_t count = 0;
    if (!r.get(count) || count > r.remaining()) return false;
    auto* dst = static_cast<uint8_t*>(arena.allocate(count, 1));
    if (dst == nullptr) return false;
    r.get_bytes(dst, count);
    out = {dst, count};
    return true;
}

// Reads a string (uint32 count + bytes) into the arena and terminates it.
inline bool read_string(Reader& r, Arena& arena, const char*& out) {
    uint32_t count = 0;
    if (!r.get(count) || count > r.remaining()) return false;
    auto* dst = static_cast<char*>(arena.allocate(size_t{count} + 1, 1));
    if (dst == nullptr) return false;
    r.get_bytes(reinterpret_cast<uint8_t*>(dst), count);
    dst[count] = '\0';
    out = dst;
    return true;
}

inline uint32_t string_length(const char* s) {
    return s == nullptr ? 0 : static_cast<uint32_t>(std::strlen(s));
}

inline void write_string(Writer& w, const char* s) {
    const uint32_t len = string_length(s);
    w.put(len);
    w.put_bytes(s, len);
}

// Calls `on_frame(const MessageInfo&)` for every complete frame at the front of the buffer and
// returns the number of bytes those frames take; an incomplete frame at the end is left over.
template <typename OnFrame>
size_t walk_frames(const uint8_t* data, size_t size, OnFrame&& on_frame) {
    size_t pos = 0;
    while (size - pos >= kFrameHeaderSize) {
        const uint32_t payload_size = load_le<uint32_t>(data + pos + 1);
        if (payload_size > size - pos - kFrameHeaderSize) break;
        on_frame(MessageInfo{data[pos], payload_size, data + pos + kFrameHeaderSize});
        pos += kFrameHeaderSize + payload_size;
    }
    return pos;
}

// Length of the complete frames at the front of the buffer.
inline size_t complete_frames_length(const uint8_t* data, size_t size) {
    return walk_frames(data, size, [](const MessageInfo&) {});
}

// Common parse/serialize plumbing. A message provides TYPE, payload_size(),
// write_payload(Writer&) and read_payload(Reader&, Arena&).
template <typename Derived>
struct Message {
    // Fills the message from a frame; returns the payload bytes consumed, or -1.
    int parse(const MessageInfo& info, Arena& arena) {
        if (info.type_id != Derived::TYPE || info.payload == nullptr) return -1;
        Reader reader(info.payload, info.size);
        if (!static_cast<Derived*>(this)->read_payload(reader, arena)) return -1;
        return static_cast<int>(reader.consumed());
    }

    size_t frame_size() const {
        return kFrameHeaderSize + static_cast<const Derived*>(this)->payload_size();
    }

    // Appends the whole frame; returns the bytes appended, or -1 (nothing appended) when the
    // frame does not fit in the capacity left.
    int serialize(Slice<uint8_t>& out) const {
        const size_t n = frame_size();
        if (out.capacity - out.size < n) return -1;
        write_frame(out.data + out.size);
        out.size += n;
        return static_cast<int>(n);
    }

    // Same for a byte vector whose capacity was reserved in advance; never reallocates.
    int serialize(std::vector<uint8_t>& out) const {
        const size_t n = frame_size();
        if (out.capacity() - out.size() < n) return -1;
        const size_t at = out.size();
        out.resize(at + n);
        write_frame(out.data() + at);
        return static_cast<int>(n);
    }

private:
    void write_frame(uint8_t* dst) const {
        const auto& self = *static_cast<const Derived*>(this);
        Writer w(dst);
        w.put<uint8_t>(Derived::TYPE);
        w.put<uint32_t>(static_cast<uint32_t>(self.payload_size()));
        self.write_payload(w);
    }
};

}  // namespace kelvra::messgen
