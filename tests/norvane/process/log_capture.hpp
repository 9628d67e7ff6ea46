#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>
#include <string_view>

namespace kelvra::testing {

// Replaces the default logger with one that keeps "<level> <message>" lines in memory, for
// the lifetime of the object.
class LogCapture {
public:
    LogCapture() : previous_(spdlog::default_logger()) {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(lines_);
        auto logger = std::make_shared<spdlog::logger>("log_capture", std::move(sink));
        logger->set_pattern("%l %v");
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(std::move(logger));
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return lines_.str(); }

    // Number of lines that read exactly `level` followed by `message`.
    int count(std::string_view level, std::string_view message) const {
        const std::string wanted = std::string(level) + " " + std::string(message);
        std::istringstream in(lines_.str());
        int found = 0;
        for (std::string line; std::getline(in, line);) found += line == wanted ? 1 : 0;
        return found;
    }
    // Number of lines at `level`, whatever their message.
    int count_level(std::string_view level) const {
        const std::string prefix = std::string(level) + " ";
        std::istringstream in(lines_.str());
        int found = 0;
        for (std::string line; std::getline(in, line);) found += line.rfind(prefix, 0) == 0;
        return found;
    }

private:
    std::shared_ptr<spdlog::logger> previous_;
    std::ostringstream lines_;
};

}  // namespace kelvra::testing
