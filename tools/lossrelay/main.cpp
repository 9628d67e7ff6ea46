// norvane-lossrelay: a UDP relay that loses and delays datagrams between a video sender and a
// gateway, for measuring how the gateway copes with a poor link.

#include <fmt/core.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>

#include "kelvra/core/unique_fd.hpp"
#include "relay.hpp"
#include "relay_options.hpp"

int main(int argc, char** argv) {
    using namespace kelvra::norvane::lossrelay;
    const OptionsResult parsed = parse_relay_options(argc, argv);
    if (const auto* exit = std::get_if<OptionsExit>(&parsed)) {
        if (exit->status == 0) {
            fmt::print("{}", exit->text);
        } else {
            fmt::print(stderr, "norvane-lossrelay: {}\n", exit->text);
            fmt::print(stderr, "Try 'norvane-lossrelay --help'.\n");
        }
        return exit->status;
    }
    const auto& options = std::get<RelayOptions>(parsed);

    Relay relay(options, kelvra::monotonic_clock());
    std::string error;
    if (!relay.open(error)) {
        fmt::print(stderr, "norvane-lossrelay: {}\n", error);
        return 1;
    }
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    kelvra::UniqueFd stop;
    if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) == 0)
        stop.reset(signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!stop) {
        fmt::print(stderr, "norvane-lossrelay: cannot set up signal handling: {}\n",
                   std::strerror(errno));
        return 1;
    }
    Endpoint listening = options.listen;
    listening.port = relay.listen_port();
    fmt::print("norvane-lossrelay: relaying {} -> {}\n", listening.text(), options.gateway.text());
    std::fflush(stdout);

    const bool ok = relay.run(stop.get());
    const int poll_error = errno;
    const auto up = relay.up();
    const auto down = relay.down();
    fmt::print(
        "norvane-lossrelay: up: {} received, {} dropped, {} forwarded ({} bytes), {} send errors; "
        "down: {} received, {} dropped, {} forwarded ({} bytes), {} send errors\n",
        up.link.received, up.link.dropped + up.link.overflowed, up.link.released,
        up.link.bytes_released, up.send_errors, down.link.received,
        down.link.dropped + down.link.overflowed, down.link.released, down.link.bytes_released,
        down.send_errors);
    fmt::print("{}\n", counters_line(relay));
    std::fflush(stdout);
    if (!ok) {
        fmt::print(stderr, "norvane-lossrelay: poll failed: {}\n", std::strerror(poll_error));
        return 1;
    }
    return 0;
}
