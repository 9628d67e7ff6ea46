#pragma once

#include <signal.h>

#include <vector>

namespace kelvra {

// What a forked child runs. The viewer's SessionProcess is one; tests script others.
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    // Runs in the child after fork; the result becomes the child's exit status.
    virtual int main() = 0;
    // Signals the child keeps blocked when it starts, until main() has set up its own handling
    // of them: one that arrives in between then waits instead of taking its default action.
    virtual sigset_t signals_blocked_at_start() const {
        sigset_t none;
        sigemptyset(&none);
        return none;
    }
    // Descriptors inherited from the parent that the child keeps, besides standard input,
    // output and error. Every other one is closed right after the fork: a child holding the
    // parent's sockets, signal descriptor or other sessions' pipes would keep them alive after
    // the parent has closed them, or has died.
    virtual std::vector<int> kept_descriptors() const { return {}; }
    // Whether the parent's own stop sends it SIGTERM at once, so that it can finish what it
    // writes within its grace time; otherwise it is only killed when that time is up.
    virtual bool terminated_on_stop() const { return false; }
};

}  // namespace kelvra
