#pragma once

namespace kelvra {

// What a forked child runs. The viewer session's own main loop derives from this.
class SessionProcess {
public:
    virtual ~SessionProcess() = default;
    // Runs in the child after fork; the result becomes the child's exit status.
    virtual int main() = 0;
};

}  // namespace kelvra
