#include "kelvra/norvane/ingest/log_fold.hpp"

namespace kelvra::norvane {

LogFold::LogFold(const Clock& clock) : clock_(clock) {
    // Room for a line of any of the gateway's kinds, so that folding needs no allocation.
    for (Entry& entry : entries_) entry.text.reserve(160);
}

LogFold::Entry* LogFold::admit(const std::shared_ptr<spdlog::logger>& log, uint32_t source,
                               const char* kind) {
    const int64_t now = clock_.now_us();
    Entry* entry = nullptr;
    Entry* place = nullptr;  // a free place, or else the oldest
    for (Entry& candidate : entries_) {
        if (candidate.log == log && candidate.source == source && candidate.kind == kind) {
            entry = &candidate;
            break;
        }
        if (place == nullptr ||
            (place->log && (!candidate.log || candidate.start_us < place->start_us)))
            place = &candidate;
    }
    if (entry != nullptr && now - entry->start_us >= kWindowUs) {
        close(*entry);
        place = entry;
        entry = nullptr;
    }
    if (entry == nullptr) {
        if (place->log) close(*place);
        entry = place;
        entry->log = log;
        entry->source = source;
        entry->kind = kind;
        entry->start_us = now;
        entry->written = 0;
        entry->folded = 0;
        ++in_use_;
    }
    if (entry->written < kLinesInFull) {
        ++entry->written;
        return nullptr;
    }
    return entry;
}

void LogFold::flush() {
    if (in_use_ == 0) return;
    const int64_t now = clock_.now_us();
    for (Entry& entry : entries_) {
        if (entry.log && now - entry.start_us >= kWindowUs) close(entry);
    }
}

void LogFold::close(Entry& entry) {
    if (entry.folded > 0) {
        entry.log->error("{} ({} more like this in the last second)", entry.text, entry.folded);
    }
    entry.log.reset();
    --in_use_;
}

}  // namespace kelvra::norvane
