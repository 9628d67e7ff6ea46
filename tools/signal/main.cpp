// norvane-signal: announces drone streams to gateways and brings viewers and gateways together.

#include <fmt/core.h>
#include <spdlog/spdlog.h>

#include <cxxopts.hpp>
#include <iostream>

#include "signal/server_config.hpp"
#include "signal/signal_app.hpp"
#include "signal/state_db.hpp"
#include "signal/user_cli.hpp"

int main(int argc, char** argv) {
    using namespace kelvra::norvane::signal_server;
    // Everything from "user" or "token" on is an account command with options of its own.
    int options_end = argc;
    for (int i = 1; i < argc; ++i) {
        const std::string previous = argv[i - 1];
        if (is_account_command(argv[i]) && previous != "-c" && previous != "--config") {
            options_end = i;
            break;
        }
    }
    cxxopts::Options options("norvane-signal", "Signalling server for norvane gateways");
    options.add_options()("c,config", "configuration file (JSON)", cxxopts::value<std::string>())(
        "v,verbose", "log debug messages")("h,help", "print this help");
    options.custom_help("[OPTION...] [user add|passwd|del|list ... | token add|del|list ...]");
    std::string config_path;
    try {
        const auto parsed = options.parse(options_end, argv);
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
    if (options_end < argc) {
        AccountCommandIo io{std::cin, std::cout, std::cerr};
        return run_account_command(config.state_dir,
                                   std::vector<std::string>(argv + options_end, argv + argc), io);
    }

    try {
        StateDb state(config.state_dir);
        // The stored streams replace the configured ones; a stream of a gateway no longer
        // configured stays stored but is not offered.
        std::vector<StreamConfig> streams;
        for (StreamConfig& stream : state.seed_streams(config.streams)) {
            const bool known =
                std::any_of(config.gateways.begin(), config.gateways.end(),
                            [&](const auto& g) { return g.name == stream.id.gateway; });
            if (known) {
                streams.push_back(std::move(stream));
            } else {
                spdlog::warn("Stored stream {} names no configured gateway; not offered",
                             stream.id.text());
            }
        }
        config.streams = std::move(streams);
        SignalApp app(std::move(config), state);
        return app.run();
    } catch (const StateError& error) {
        fmt::print(stderr, "norvane-signal: {}\n", error.what());
        return 1;
    }
}
