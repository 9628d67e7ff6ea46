#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

namespace kelvra::testing {

// How often `text` occurs in `all`, overlapping occurrences included.
inline size_t occurrences(std::string_view all, std::string_view text) {
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
}

// Formatted lines kept in a string; the base class's lock orders writers and readers.
class MemorySink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::string text() {
        const std::lock_guard lock(mutex_);
        return text_;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        text_.append(formatted.data(), formatted.size());
    }
    void flush_() override {}

private:
    std::string text_;
};

// Replaces the default logger, for the lifetime of the object, with one that keeps
// "<level> <message>" lines in memory (from any thread: GStreamer's threads log too).
class LogCapture {
public:
    explicit LogCapture(spdlog::level::level_enum level = spdlog::level::trace)
        : previous_(spdlog::default_logger()) {
        auto logger = std::make_shared<spdlog::logger>("log_capture", sink_);
        logger->set_pattern("%l %v");
        logger->set_level(level);
        spdlog::set_default_logger(std::move(logger));
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return sink_->text(); }

    // Number of lines that read exactly `level` followed by `message`.
    int count(std::string_view level, std::string_view message) const {
        const std::string wanted = std::string(level) + " " + std::string(message);
        return count_lines([&](const std::string& line) { return line == wanted; });
    }
    // Number of lines at `level`, whatever their message.
    int count_level(std::string_view level) const {
        return count_starting(std::string(level) + " ");
    }
    // Number of lines starting with `prefix` ("<level> <start of the message>").
    int count_starting(std::string_view prefix) const {
        return count_lines([&](const std::string& line) { return line.starts_with(prefix); });
    }
    bool has(std::string_view prefix) const { return count_starting(prefix) > 0; }
    // Occurrences of `text` anywhere, across lines.
    size_t occurrences(std::string_view text) const {
        return testing::occurrences(this->text(), text);
    }

private:
    template <typename Pred>
    int count_lines(Pred pred) const {
        std::istringstream in(text());
        int found = 0;
        for (std::string line; std::getline(in, line);) found += pred(line) ? 1 : 0;
        return found;
    }

    std::shared_ptr<spdlog::logger> previous_;
    std::shared_ptr<MemorySink> sink_ = std::make_shared<MemorySink>();
};

}  // namespace kelvra::testing
