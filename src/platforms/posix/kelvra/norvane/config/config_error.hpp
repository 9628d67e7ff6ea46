#pragma once

#include <stdexcept>
#include <string>

namespace kelvra::norvane {

// A value of the configuration file that the gateway refuses although it is well-formed JSON of
// the right type. Its text has the form operators already know from the JSON library's type
// errors, "[json.exception.type_error.<id>] <reason>", so every refusal reads alike.
class ConfigError : public std::runtime_error {
public:
    ConfigError(int id, const std::string& reason)
        : std::runtime_error("[json.exception.type_error." + std::to_string(id) + "] " + reason),
          id_(id) {}

    int id() const { return id_; }

private:
    int id_;
};

}  // namespace kelvra::norvane
