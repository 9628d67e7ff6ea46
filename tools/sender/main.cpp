// norvane-sender: a drone's side of the video datagram protocol, for testing a gateway.

#include <fmt/core.h>

#include <cstdio>
#include <variant>

#include "sender_app.hpp"
#include "sender_options.hpp"

#if defined(__SANITIZE_ADDRESS__)
// GLib and GStreamer keep process-wide allocations (type system, registry, thread pools) until
// exit; they are not this program's leaks.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgstreamer-1.0.so\n";
}
#endif

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
