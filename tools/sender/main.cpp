// norvane-sender: a drone's side of the video datagram protocol, for testing a gateway.

#include <fmt/core.h>

#include <cstdio>
#include <variant>

#include "sender_app.hpp"
#include "sender_options.hpp"

int main(int argc, char** argv) {
    using namespace kelvra::norvane::sender;
    const OptionsResult parsed = parse_sender_options(argc, argv);
    if (const auto* exit = std::get_if<OptionsExit>(&parsed)) {
        if (exit->status == 0) {
            fmt::print("{}", exit->text);
        } else {
            fmt::print(stderr, "norvane-sender: {}\n", exit->text);
            fmt::print(stderr, "Try 'norvane-sender --help'.\n");
        }
        return exit->status;
    }
    SenderApp app(std::get<SenderOptions>(parsed), kelvra::monotonic_clock());
    return app.run();
}
