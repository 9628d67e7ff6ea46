#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kelvra::testing {

// Replaces the default logger for its lifetime and keeps every line logged through it.
class LogCapture {
public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };

    LogCapture() : previous_(spdlog::default_logger()), sink_(std::make_shared<Sink>()) {
        auto logger = std::make_shared<spdlog::logger>("log_capture", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(std::move(logger));
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const {
        std::lock_guard lock(sink_->lines_mutex);
        return sink_->lines;
    }
    // Lines at `level` whose text equals `text` exactly.
    size_t count(spdlog::level::level_enum level, const std::string& text) const {
        size_t n = 0;
        for (const auto& line : lines()) n += line.level == level && line.text == text ? 1 : 0;
        return n;
    }
    // Lines whose text starts with `prefix`, at any level.
    size_t count_prefix(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& line : lines()) n += line.text.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
    void clear() {
        std::lock_guard lock(sink_->lines_mutex);
        sink_->lines.clear();
    }

private:
    struct Sink : spdlog::sinks::base_sink<std::mutex> {
        std::mutex lines_mutex;
        std::vector<Line> lines;

    protected:
        void sink_it_(const spdlog::details::log_msg& msg) override {
            std::lock_guard lock(lines_mutex);
            lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
        }
        void flush_() override {}
    };

    std::shared_ptr<spdlog::logger> previous_;
    std::shared_ptr<Sink> sink_;
};

}  // namespace kelvra::testing
