// The gateway's configuration loader on arbitrary text. Its documented failures are the JSON
// library's exceptions; any other exception, or a crash, is a fault.

#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "kelvra/norvane/config/config_error.hpp"
#include "kelvra/norvane/config/config_parser.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int quiet = (spdlog::set_level(spdlog::level::off), 0);
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    kelvra::norvane::ConfigParser config;
    const kelvra::norvane::ConfigParser defaults;
    // A rejected file leaves the record as it was.
    const auto untouched = [&] {
        if (config.listen_ip != defaults.listen_ip || config.utm_host != defaults.utm_host ||
            config.latency_ms != defaults.latency_ms || config.manet.addr != defaults.manet.addr)
            std::abort();
    };
    try {
        config.parse_config(text);
    } catch (const nlohmann::json::exception&) {
        untouched();
    } catch (const kelvra::norvane::ConfigError&) {
        untouched();
    }
    return 0;
}
