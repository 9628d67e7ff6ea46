#include "kelvra/norvane/process/child_exit.hpp"

#include <unistd.h>

#include <cstdio>

namespace kelvra {

void end_child_process(int32_t code) {
    std::fflush(stdout);
    _exit(code);
}

}  // namespace kelvra
