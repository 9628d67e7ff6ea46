#pragma once

// Command line of the loss relay.

#include <cmath>
#include <cstdint>
#include <cxxopts.hpp>
#include <string>
#include <variant>

#include "delay_line.hpp"
#include "endpoint.hpp"

namespace kelvra::norvane::lossrelay {

struct RelayOptions {
    Endpoint listen;
    Endpoint gateway;
    LinkSettings up;    // sender to gateway
    LinkSettings down;  // gateway to sender
};

// Help text or a rejected command line: what to print and the exit status.
struct OptionsExit {
    int status = 0;
    std::string text;
};

using OptionsResult = std::variant<RelayOptions, OptionsExit>;

namespace detail {

inline cxxopts::Options relay_cli() {
    cxxopts::Options cli("norvane-lossrelay",
                         "Relays UDP datagrams between a video sender and a gateway, losing and "
                         "delaying them on the way. Prints its counters on SIGINT/SIGTERM.");
    cli.add_options()("listen", "Address the sender sends to, host:port (port 0: any)",
                      cxxopts::value<std::string>())("gateway", "Gateway address, host:port",
                                                     cxxopts::value<std::string>())(
        "loss-up", "Probability that a datagram toward the gateway is lost",
        cxxopts::value<double>()->default_value("0"))(
        "loss-down", "Probability that a datagram toward the sender is lost",
        cxxopts::value<double>()->default_value("0"))(
        "delay-ms", "One-way delay, each way (round trip: twice this)",
        cxxopts::value<double>()->default_value("0"))(
        "jitter-ms", "The delay varies uniformly by up to this much either way (reorders)",
        cxxopts::value<double>()->default_value("0"))(
        "seed", "Seed of the loss and jitter draws",
        cxxopts::value<uint64_t>()->default_value("1"))("h,help", "Show this help");
    return cli;
}

inline bool probability(double p) {
    return p >= 0.0 && p <= 1.0;
}

}  // namespace detail

inline OptionsResult parse_relay_options(int argc, const char* const* argv) {
    auto cli = detail::relay_cli();
    const auto fail = [](const std::string& text) { return OptionsExit{1, text}; };
    try {
        const auto args = cli.parse(argc, argv);
        if (args.count("help")) return OptionsExit{0, cli.help()};
        if (!args.unmatched().empty()) return fail("unexpected argument: " + args.unmatched()[0]);
        if (!args.count("listen") || !args.count("gateway"))
            return fail("--listen and --gateway are required");

        RelayOptions o;
        const auto listen = parse_endpoint(args["listen"].as<std::string>(), true);
        if (!listen) return fail("--listen must be an IPv4 host:port");
        const auto gateway = parse_endpoint(args["gateway"].as<std::string>());
        if (!gateway) return fail("--gateway must be an IPv4 host:port with a port of 1..65535");
        o.listen = *listen;
        o.gateway = *gateway;

        o.up.loss = args["loss-up"].as<double>();
        o.down.loss = args["loss-down"].as<double>();
        if (!detail::probability(o.up.loss) || !detail::probability(o.down.loss))
            return fail("--loss-up and --loss-down must be probabilities 0..1");
        const double delay_ms = args["delay-ms"].as<double>();
        const double jitter_ms = args["jitter-ms"].as<double>();
        if (!(delay_ms >= 0.0 && delay_ms <= 60'000.0)) return fail("--delay-ms must be 0..60000");
        if (!(jitter_ms >= 0.0 && jitter_ms <= 60'000.0))
            return fail("--jitter-ms must be 0..60000");
        o.up.delay_us = o.down.delay_us = std::llround(delay_ms * 1000.0);
        o.up.jitter_us = o.down.jitter_us = std::llround(jitter_ms * 1000.0);
        // The two directions draw independently: how much comes back must not change which
        // datagrams are lost on the way out.
        const uint64_t seed = args["seed"].as<uint64_t>();
        o.up.seed = seed;
        o.down.seed = seed ^ 0x9e3779b97f4a7c15ULL;
        return o;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

}  // namespace kelvra::norvane::lossrelay
