#pragma once

// A message lists its members once, in wire order, with KELVRA_MESSGEN_FIELDS:
//
//   struct point : messgen::Message<point> {
//       static constexpr uint8_t TYPE = 20;
//       static constexpr const char* NAME = "point";
//       uint16_t x = 0;
//       const char* label = nullptr;
//       KELVRA_MESSGEN_FIELDS(x, label)
//   };
//
// and its payload size, reading, writing and schema text ("uint16_t x;string label;") all follow
// from that list. A field is an integer, a fixed array of them, a string (`const char*`), a
// `Dynamic` array of bytes or of fixed-size messages, or a nested message.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "kelvra/core/slice.hpp"
#include "kelvra/msgs/video/messgen.hpp"

namespace kelvra::messgen {

template <typename Owner, typename T>
struct Field {
    using type = T;
    const char* name;
    T Owner::*member;
};

template <typename Owner, typename T>
constexpr Field<Owner, T> field(const char* name, T Owner::*member) {
    return {name, member};
}

// `static constexpr auto fields()`: a tuple of (name, member pointer) pairs, one per member named.
// The names are the members' own, so the schema text cannot drift from the structure.
#define KELVRA_MESSGEN_FIELDS(...)                                                  \
    static constexpr auto fields() {                                                \
        return std::tuple{KELVRA_MESSGEN_PICK(                                      \
            __VA_ARGS__, KELVRA_MESSGEN_12, KELVRA_MESSGEN_11, KELVRA_MESSGEN_10,   \
            KELVRA_MESSGEN_9, KELVRA_MESSGEN_8, KELVRA_MESSGEN_7, KELVRA_MESSGEN_6, \
            KELVRA_MESSGEN_5, KELVRA_MESSGEN_4, KELVRA_MESSGEN_3, KELVRA_MESSGEN_2, \
            KELVRA_MESSGEN_1)(__VA_ARGS__)};                                        \
    }
#define KELVRA_MESSGEN_PICK(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, NAME, ...) NAME
#define KELVRA_MESSGEN_1(m) ::kelvra::messgen::field(#m, &Self::m)
#define KELVRA_MESSGEN_2(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_1(__VA_ARGS__)
#define KELVRA_MESSGEN_3(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_2(__VA_ARGS__)
#define KELVRA_MESSGEN_4(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_3(__VA_ARGS__)
#define KELVRA_MESSGEN_5(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_4(__VA_ARGS__)
#define KELVRA_MESSGEN_6(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_5(__VA_ARGS__)
#define KELVRA_MESSGEN_7(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_6(__VA_ARGS__)
#define KELVRA_MESSGEN_8(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_7(__VA_ARGS__)
#define KELVRA_MESSGEN_9(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_8(__VA_ARGS__)
#define KELVRA_MESSGEN_10(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_9(__VA_ARGS__)
#define KELVRA_MESSGEN_11(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_10(__VA_ARGS__)
#define KELVRA_MESSGEN_12(m, ...) KELVRA_MESSGEN_1(m), KELVRA_MESSGEN_11(__VA_ARGS__)

template <typename T>
concept Record = requires {
    T::fields();
};

template <typename T>
struct is_dynamic : std::false_type {
    using element = void;
};
template <typename T>
struct is_dynamic<Dynamic<T>> : std::true_type {
    using element = T;
};

// Calls `f(field)` for every field of `Msg`, in wire order; stops at the first false when `f`
// returns bool.
template <typename Msg, typename F>
constexpr bool each_field(F&& f) {
    return std::apply([&](const auto&... field) { return (f(field) && ...); }, Msg::fields());
}

// Payload bytes of a type of fixed size: an integer, an array of them, or a message made only of
// those. Anything holding a string or a dynamic array does not compile here.
template <typename T>
constexpr size_t fixed_width() {
    if constexpr (std::is_integral_v<T>) {
        return sizeof(T);
    } else if constexpr (std::is_array_v<T>) {
        return std::extent_v<T> * fixed_width<std::remove_extent_t<T>>();
    } else {
        static_assert(Record<T>, "this type has no fixed wire size");
        return std::apply(
            [](const auto&... f) {
                return (size_t{0} + ... +
                        fixed_width<typename std::remove_cvref_t<decltype(f)>::type>());
            },
            T::fields());
    }
}

// Payload bytes of a message that has only fixed-size fields.
template <Record Msg>
constexpr size_t wire_size() {
    return fixed_width<Msg>();
}

inline uint32_t string_length(const char* s) {
    return s == nullptr ? 0 : static_cast<uint32_t>(std::strlen(s));
}

// ---- size ----

template <Record Msg>
size_t payload_size(const Msg& msg);

template <typename T>
size_t field_size(const T& value) {
    if constexpr (std::is_same_v<T, const char*>) {
        return 4 + size_t{string_length(value)};
    } else if constexpr (is_dynamic<T>::value) {
        return 4 + fixed_width<typename is_dynamic<T>::element>() * size_t{value.size};
    } else if constexpr (Record<T>) {
        return payload_size(value);
    } else {
        return fixed_width<T>();
    }
}

template <Record Msg>
size_t payload_size(const Msg& msg) {
    size_t total = 0;
    each_field<Msg>([&](const auto& f) {
        total += field_size(msg.*f.member);
        return true;
    });
    return total;
}

// ---- write ----

template <Record Msg>
void write_fields(Writer& w, const Msg& msg);

template <typename T>
void write_field(Writer& w, const T& value) {
    if constexpr (std::is_integral_v<T>) {
        w.put(value);
    } else if constexpr (std::is_array_v<T> && std::is_same_v<std::remove_extent_t<T>, uint8_t>) {
        w.put_bytes(value, sizeof(value));
    } else if constexpr (std::is_array_v<T>) {
        for (const auto& element : value) write_field(w, element);
    } else if constexpr (std::is_same_v<T, const char*>) {
        const uint32_t length = string_length(value);
        w.put(length);
        w.put_bytes(value, length);
    } else if constexpr (std::is_same_v<T, Dynamic<uint8_t>>) {
        w.put<uint32_t>(value.size);
        w.put_bytes(value.ptr, value.size);
    } else if constexpr (is_dynamic<T>::value) {
        w.put<uint32_t>(value.size);
        for (const auto& element : value) write_fields(w, element);
    } else {
        write_fields(w, value);
    }
}

template <Record Msg>
void write_fields(Writer& w, const Msg& msg) {
    each_field<Msg>([&](const auto& f) {
        write_field(w, msg.*f.member);
        return true;
    });
}

// ---- read ----
// Every length read from the payload is checked against the bytes that remain before anything
// is allocated or copied; variable-length contents go to the arena, never to the heap.

template <Record Msg>
bool read_fields(Reader& r, Arena& arena, Msg& msg);

// Reads a uint32 count and that many bytes into the arena, leaving `extra` bytes of room after
// them; nullptr when the bytes are not all there or the arena has no room.
inline uint8_t* read_byte_run(Reader& r, Arena& arena, size_t extra, uint32_t& count) {
    if (!r.get(count) || count > r.remaining()) return nullptr;
    auto* dst = static_cast<uint8_t*>(arena.allocate(size_t{count} + extra, 1));
    if (dst != nullptr) r.get_bytes(dst, count);
    return dst;
}

template <typename T>
bool read_field(Reader& r, Arena& arena, T& value) {
    if constexpr (std::is_integral_v<T>) {
        return r.get(value);
    } else if constexpr (std::is_array_v<T> && std::is_same_v<std::remove_extent_t<T>, uint8_t>) {
        return r.get_bytes(value, sizeof(value));
    } else if constexpr (std::is_array_v<T>) {
        for (auto& element : value)
            if (!read_field(r, arena, element)) return false;
        return true;
    } else if constexpr (std::is_same_v<T, const char*>) {
        uint32_t count = 0;
        uint8_t* dst = read_byte_run(r, arena, 1, count);
        if (dst == nullptr) return false;
        dst[count] = '\0';
        value = reinterpret_cast<const char*>(dst);
        return true;
    } else if constexpr (std::is_same_v<T, Dynamic<uint8_t>>) {
        uint32_t count = 0;
        uint8_t* dst = read_byte_run(r, arena, 0, count);
        if (dst == nullptr) return false;
        value = {dst, count};
        return true;
    } else if constexpr (is_dynamic<T>::value) {
        using Element = typename is_dynamic<T>::element;
        constexpr size_t width = wire_size<Element>();
        uint32_t count = 0;
        if (!r.get(count) || count > r.remaining() / width) return false;
        auto* elements = static_cast<Element*>(
            arena.allocate(size_t{count} * sizeof(Element), alignof(Element)));
        if (elements == nullptr && count != 0) return false;
        // Whole elements are there (checked above), so reading them cannot fail.
        for (uint32_t i = 0; i < count; ++i)
            read_fields(r, arena, *std::construct_at(elements + i));
        value = {elements, count};
        return true;
    } else {
        return read_fields(r, arena, value);
    }
}

template <Record Msg>
bool read_fields(Reader& r, Arena& arena, Msg& msg) {
    return each_field<Msg>([&](const auto& f) { return read_field(r, arena, msg.*f.member); });
}

// ---- schema text ----

// Counts the characters it is given and, when it has somewhere to put them, stores them.
struct TextSink {
    char* out = nullptr;
    size_t length = 0;

    constexpr void add(const char* s) {
        for (; *s != '\0'; ++s, ++length)
            if (out != nullptr) out[length] = *s;
    }
    constexpr void add_number(size_t value) {
        if (value >= 10) add_number(value / 10);
        const char digit[2] = {static_cast<char>('0' + value % 10), '\0'};
        add(digit);
    }
};

template <typename T>
constexpr void add_type_name(TextSink& s) {
    if constexpr (std::is_integral_v<T>) {  // uint8_t ... int64_t
        s.add(std::is_signed_v<T> ? "int" : "uint");
        s.add_number(8 * sizeof(T));
        s.add("_t");
    } else if constexpr (std::is_same_v<T, const char*>) {
        s.add("string");
    } else if constexpr (Record<T>) {
        s.add(T::NAME);
    } else if constexpr (std::is_array_v<T>) {
        add_type_name<std::remove_extent_t<T>>(s);
        s.add("[");
        s.add_number(std::extent_v<T>);
        s.add("]");
    } else {
        add_type_name<typename is_dynamic<T>::element>(s);
        s.add("[]");
    }
}

// "uint32_t manet_addr;string status;": every field's type and name, in wire order.
template <Record Msg>
constexpr void add_schema(TextSink& s) {
    each_field<Msg>([&](const auto& f) {
        add_type_name<typename std::remove_cvref_t<decltype(f)>::type>(s);
        s.add(" ");
        s.add(f.name);
        s.add(";");
        return true;
    });
}

// The messages that `Msg` holds, directly or as array elements, each named once.
template <Record Msg>
constexpr void add_nested(TextSink& s) {
    const char* seen[std::tuple_size_v<decltype(Msg::fields())>] = {};
    size_t seen_count = 0;
    each_field<Msg>([&](const auto& f) {
        using T = typename std::remove_cvref_t<decltype(f)>::type;
        using Held = std::conditional_t<is_dynamic<T>::value, typename is_dynamic<T>::element, T>;
        const char* name = nullptr;
        if constexpr (Record<Held>) name = Held::NAME;
        if (name == nullptr) return true;
        for (size_t i = 0; i < seen_count; ++i)
            if (std::string_view(seen[i]) == name) return true;
        if (seen_count != 0) s.add(",");
        s.add(name);
        seen[seen_count++] = name;
        return true;
    });
}

template <auto Add>
constexpr auto text_of() {
    constexpr size_t length = [] {
        TextSink counter;
        Add(counter);
        return counter.length;
    }();
    std::array<char, length + 1> text{};
    TextSink writer{text.data()};
    Add(writer);
    return text;
}

template <Record Msg>
inline constexpr auto kSchemaText = text_of<add_schema<Msg>>();
template <Record Msg>
inline constexpr auto kNestedText = text_of<add_nested<Msg>>();

template <Record Msg>
constexpr Metadata metadata_of() {
    return {Msg::NAME, kSchemaText<Msg>.data(), kNestedText<Msg>.data()};
}

// ---- framing ----

// Parse and serialize of a message with an id: the message provides TYPE, NAME and fields().
template <typename Derived>
struct Message {
    using Self = Derived;  // names the message in its field list
    // Instantiated on first use, when the message is complete.
    static constexpr Metadata METADATA = metadata_of<Derived>();

    size_t payload_size() const { return messgen::payload_size(self()); }
    void write_payload(Writer& w) const { write_fields(w, self()); }
    bool read_payload(Reader& r, Arena& arena) {
        return read_fields(r, arena, *static_cast<Derived*>(this));
    }

    // Fills the message from a frame; returns the payload bytes consumed, or -1.
    int parse(const MessageInfo& info, Arena& arena) {
        if (info.type_id != Derived::TYPE || info.payload == nullptr) return -1;
        Reader reader(info.payload, info.size);
        if (!static_cast<Derived*>(this)->read_payload(reader, arena)) return -1;
        return static_cast<int>(reader.consumed());
    }

    size_t frame_size() const { return kFrameHeaderSize + self().payload_size(); }

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
    const Derived& self() const { return *static_cast<const Derived*>(this); }

    void write_frame(uint8_t* dst) const {
        Writer w(dst);
        w.put<uint8_t>(Derived::TYPE);
        w.put<uint32_t>(static_cast<uint32_t>(self().payload_size()));
        self().write_payload(w);
    }
};

}  // namespace kelvra::messgen
