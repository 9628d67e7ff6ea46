// norvane-signal: announces drone streams to gateways and brings viewers and gateways together.

#include <fmt/core.h>
#include <spdlog/spdlog.h>

#include <cxxopts.hpp>

#include "signal/server_config.hpp"
#include "signal/signal_app.hpp"

int main(int argc, char** argv) {
    using namespace kelvra::norvane::signal_server;
    cxxopts::Options options("norvane-signal", "Signalling server for norvane gateways");
    options.add_options()("c,config", "configuration file (JSON)", cxxopts::value<std::string>())(
        "v,verbose", "log debug messages")("h,help", "print this help");
    std::string config_path;
    try {
        const auto parsed = options.parse(argc, argv);
        if (parsed.count("help") != 0) {
            fmt::print("{}", options.help());
            return 0;
        }
        if (parsed.count("config") == 0)
            throw cxxopts::exceptions::exception("-c <config.json> is required");
        config_path = parsed["config"].as<std::string>();
        if (parsed.count("verbose") != 0) spdlog::set_level(spdlog::level::debug);
    } catch (const cxxopts::exceptions::exception& error) {
        fmt::print(stderr, "norvane-signal: {}\nTry 'norvane-signal --help'.\n", error.what());
        return 1;
    }

    ServerConfig config;
    try {
        config = load_server_config(config_path);
    } catch (const ConfigError& error) {
        fmt::print(stderr, "norvane-signal: {}: {}\n", config_path, error.what());
        return 1;
    }
    SignalApp app(std::move(config));
    return app.run();
}
