#pragma once

namespace kelvra {

// What a forked child runs. The viewer's SessionProcess is one; tests script others.
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    // Runs in the child after fork; the result becomes the child's exit status.
    virtual int main() = 0;
};

}  // namespace kelvra
