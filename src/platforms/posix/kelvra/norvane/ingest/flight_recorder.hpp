#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kelvra/norvane/jitter/stats.hpp"

namespace spdlog {
class logger;
}

namespace kelvra::norvane {

// save_dir/<manet address, 8 upper-case hex digits>/<flight id>/<camera type>. The flight id is
// printed as the unsigned value of its sign extension.
std::string flight_directory(const std::string& save_dir, uint32_t manet_addr, int32_t flight_id,
                             uint8_t camera_type);

// Local time "YYYYMMDD_HHMMSS" followed by `extension`.
std::string get_log_name(const std::string& extension);

// Local time in the "%d-%m-%Y_%H-%M-%S" form used by the message and jitter log names.
std::string local_time_stamp();

// Creates the per-flight statistics logger "StatsLogger<manet address>" appending to `path`,
// replacing any registered logger of that name. Returns null when the file cannot be opened.
std::shared_ptr<spdlog::logger> create_stats_logger(uint32_t manet_addr, const std::string& path);

// Appends one eight-line statistics record.
void log_stream_stats(spdlog::logger& logger, int64_t elapsed_us, const jitter::Stats& stats);

}  // namespace kelvra::norvane
