#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::norvane {

// One recorded segment: its video file and its detections beside it.
struct RecordedSegment {
    std::string stem;  // the file name without extension: sorts by start time
    std::string video_path;
    uint64_t bytes = 0;  // of both files
    bool busy = false;   // a recorder is still writing it
};

// The segments to delete, oldest first, so that the rest stay within `keep_bytes`; a segment
// being written is never chosen. 0 means no bound. Returns indices into `segments`.
std::vector<size_t> segments_over_bound(const std::vector<RecordedSegment>& segments,
                                        uint64_t keep_bytes);

// Every segment under `save_dir` (any depth); a segment whose video file some recorder holds
// locked is busy.
std::vector<RecordedSegment> find_segments(const std::string& save_dir);

// Deletes the oldest segments under `save_dir` until the rest fit in `keep_bytes`, one log line
// each.
void keep_recordings_under(const std::string& save_dir, uint64_t keep_bytes);

}  // namespace kelvra::norvane
