#pragma once

#include <fstream>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "kelvra/norvane/jitter/queue_stats.hpp"
#include "kelvra/norvane/jitter/stats.hpp"

namespace kelvra {

// Per-stream trace of a jitter buffer: one compact JSON object per line, flushed at once.
// Until open() succeeds every line is dropped.
class JitterBufferLogger {
public:
    JitterBufferLogger() = default;
    explicit JitterBufferLogger(std::string file_name);

    // Opens file_name for writing, truncating it; returns whether the file is open.
    bool open();
    bool is_open() const;
    const std::string& file_name() const;

    void log(const norvane::jitter::Stats& stats);
    void log(const norvane::jitter::QueueStats& queues);

private:
    void write_line(nlohmann::json& line);

    std::string file_name_;
    std::ofstream stream_;
};

}  // namespace kelvra
