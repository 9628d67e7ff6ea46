#include "kelvra/norvane/ingest/flight_recorder.hpp"

#include <fmt/format.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <ctime>

namespace kelvra::norvane {
namespace {

std::tm local_now() {
    const std::time_t now = std::time(nullptr);
    std::tm out{};
    localtime_r(&now, &out);
    return out;
}

}  // namespace

std::string flight_directory(const std::string& save_dir, uint32_t manet_addr, int32_t flight_id,
                             uint8_t camera_type) {
    const auto flight = static_cast<uint64_t>(static_cast<int64_t>(flight_id));
    return fmt::format("{}/{:08X}/{}/{}", save_dir, manet_addr, flight, unsigned{camera_type});
}

std::string get_log_name(const std::string& extension) {
    const std::tm t = local_now();
    char text[64];
    std::snprintf(text, sizeof(text), "%04i%02i%02i_%02i%02i%02i", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return std::string(text) + extension;
}

std::string local_time_stamp() {
    const std::tm t = local_now();
    char text[64];
    std::strftime(text, sizeof(text), "%d-%m-%Y_%H-%M-%S", &t);
    return text;
}

std::shared_ptr<spdlog::logger> create_stats_logger(uint32_t manet_addr, const std::string& path) {
    const std::string name = fmt::format("StatsLogger{}", manet_addr);
    spdlog::drop(name);
    std::shared_ptr<spdlog::logger> logger;
    try {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(path, false);
        logger = std::make_shared<spdlog::logger>(name, std::move(sink));
        spdlog::register_logger(logger);
    } catch (const spdlog::spdlog_ex& e) {
        spdlog::error("Failed to open statistics file {}: {}", path, e.what());
        return nullptr;
    }
    logger->set_level(spdlog::level::debug);
    logger->flush_on(spdlog::level::warn);
    logger->set_pattern("%v");
    return logger;
}

void log_stream_stats(spdlog::logger& logger, int64_t elapsed_us, const jitter::Stats& stats) {
    logger.debug(
        "{}\nStats:\n\tSkipped frames: {}\n\tDelayed frames: {}\n\tRetransmissions number: "
        "{}\n\tDuplicates number: {}\n\tRoundtrip time: {}\n",
        elapsed_us, stats.skipped_frames, stats.delayed_frames, stats.retransmissions_number,
        stats.duplicates_number, stats.roundtrip);
}

}  // namespace kelvra::norvane
