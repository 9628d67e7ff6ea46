#include "kelvra/norvane/jitter/jitter_buffer_logger.hpp"

#include <nlohmann/json.hpp>
#include <utility>

#include "kelvra/core/time.hpp"

namespace kelvra {

JitterBufferLogger::JitterBufferLogger(std::string file_name) : file_name_(std::move(file_name)) {}

bool JitterBufferLogger::open() {
    stream_.open(file_name_, std::ios::out | std::ios::trunc);
    return stream_.is_open();
}

bool JitterBufferLogger::is_open() const {
    return stream_.is_open();
}

const std::string& JitterBufferLogger::file_name() const {
    return file_name_;
}

void JitterBufferLogger::log(const norvane::jitter::Stats& stats) {
    if (!stream_.is_open()) return;
    nlohmann::json line = stats;
    write_line(line);
}

void JitterBufferLogger::log(const norvane::jitter::QueueStats& queues) {
    if (!stream_.is_open()) return;
    nlohmann::json line = queues;
    write_line(line);
}

void JitterBufferLogger::write_line(nlohmann::json& line) {
    line["t"] = time_utc_us();
    stream_ << line.dump() << '\n';
    stream_.flush();
}

}  // namespace kelvra
