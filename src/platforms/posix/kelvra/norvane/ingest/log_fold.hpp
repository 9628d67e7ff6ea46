#pragma once

#include <spdlog/spdlog.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "kelvra/core/time.hpp"

namespace kelvra::norvane {

// Folds error lines caused by untrusted input, so that a source flooding the gateway with bad
// datagrams cannot flood the log as well. Within a second, the first few lines of one kind from
// one source are written as they are; the rest are only counted, and when the second is over
// one line tells how many were left out: the first of them followed by
// " (N more like this in the last second)". A kind is the message's format, so lines that
// differ only in their figures fold together.
class LogFold {
public:
    static constexpr uint32_t kLinesInFull = 5;  // of one kind, per source and second
    static constexpr int64_t kWindowUs = 1'000'000;
    // Sources and kinds followed at once; when all are in use, the oldest is summed up early.
    static constexpr size_t kCapacity = 64;

    explicit LogFold(const Clock& clock);

    // Logs at error level on `log`, unless the line is folded.
    template <typename... Args>
    void error(const std::shared_ptr<spdlog::logger>& log, uint32_t source,
               fmt::format_string<Args...> format, Args&&... args) {
        Entry* folding = admit(log, source, static_cast<fmt::string_view>(format).data());
        if (folding == nullptr) {
            log->error(format, std::forward<Args>(args)...);
        } else if (folding->folded++ == 0) {
            folding->text.clear();
            fmt::format_to(std::back_inserter(folding->text), format, std::forward<Args>(args)...);
        }
    }

    // Writes the summary of every second that is over; called once per turn of the loop.
    void flush();

private:
    struct Entry {
        std::shared_ptr<spdlog::logger> log;  // null while the place is free
        uint32_t source = 0;
        const char* kind = nullptr;
        int64_t start_us = 0;
        uint32_t written = 0;
        uint32_t folded = 0;
        std::string text;  // the first line folded
    };

    // The entry whose line is to be folded, or null when the line is to be written.
    Entry* admit(const std::shared_ptr<spdlog::logger>& log, uint32_t source, const char* kind);
    void close(Entry& entry);

    const Clock& clock_;
    std::array<Entry, kCapacity> entries_;
    size_t in_use_ = 0;
};

}  // namespace kelvra::norvane
