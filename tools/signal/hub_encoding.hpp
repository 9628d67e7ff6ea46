#pragma once

// Encoding helpers shared by the parts of the hub.

#include <nlohmann/json.hpp>
#include <string>

#include "signal/gateway_codec.hpp"

namespace kelvra::norvane::signal_server {

template <typename Message>
Bytes frame_of(const Message& message) {
    Bytes out;
    out.reserve(message.frame_size());
    message.serialize(out);
    return out;
}

// Text from a gateway may hold anything; JSON output replaces invalid UTF-8 rather than throw.
inline std::string to_text(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The member `key` if it is a string, else null.
inline const std::string* string_field(const nlohmann::json& message, const char* key) {
    const auto it = message.find(key);
    return it != message.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

}  // namespace kelvra::norvane::signal_server
