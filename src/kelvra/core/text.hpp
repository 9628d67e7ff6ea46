#pragma once

#include <cstdint>

#include "kelvra/core/slice.hpp"

namespace kelvra {

// Splits `text` on `separator` into views of the text; pieces beyond the list's capacity are
// dropped and flagged in `out.overflow`. Returns the number of pieces stored.
int split(ConstSlice<char> text, char separator, ArrayList<ConstSlice<char>>& out);

// Parses "host:port". The host (before the first ':') must be at most host_size - 2 characters.
// Returns 0, or -1 on an empty text, a missing colon or a host that is too long.
int split_address_string(const char* text, char* host, uint64_t host_size, uint16_t& port);

// View of a C string without its terminator, or an empty view when no terminator lies within
// the first `max_len` characters.
ConstSlice<char> slice_from_cstr(const char* text, uint64_t max_len);

}  // namespace kelvra
