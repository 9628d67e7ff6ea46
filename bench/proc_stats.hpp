#pragma once

// Figures the benchmarks read about another process from /proc.

#include <fmt/format.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace kelvra::bench {

// User + system CPU seconds of a process so far; 0 when it cannot be read.
inline double cpu_seconds(pid_t pid) {
    std::ifstream in(fmt::format("/proc/{}/stat", pid));
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t name_end = text.rfind(')');
    unsigned long utime = 0, stime = 0;
    // The fields after the command name, which may hold spaces: state ppid ... utime stime.
    if (name_end == std::string::npos ||
        std::sscanf(text.c_str() + name_end + 2,
                    "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
        return 0.0;
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace kelvra::bench
