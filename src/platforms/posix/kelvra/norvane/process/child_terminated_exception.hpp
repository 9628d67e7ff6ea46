#pragma once

#include <cstdint>
#include <exception>

namespace kelvra {

// Carries a child process's exit status up through the parent's call stack that the child
// inherited with fork; program entry catches it and returns the status.
class ChildTerminatedException : public std::exception {
public:
    explicit ChildTerminatedException(int32_t exit_code) : code(exit_code) {}
    const char* what() const noexcept override { return "Child terminated"; }

    int32_t code;
};

}  // namespace kelvra
