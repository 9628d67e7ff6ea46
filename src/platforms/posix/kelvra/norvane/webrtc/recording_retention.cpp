#include "kelvra/norvane/webrtc/recording_retention.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/file.h>

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "kelvra/core/unique_fd.hpp"

namespace kelvra::norvane {

namespace fs = std::filesystem;

std::vector<size_t> segments_over_bound(const std::vector<RecordedSegment>& segments,
                                        uint64_t keep_bytes) {
    std::vector<size_t> order(segments.size());
    std::iota(order.begin(), order.end(), size_t{0});
    if (keep_bytes == 0) return {};
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return segments[a].stem < segments[b].stem; });
    uint64_t total = 0;
    for (const RecordedSegment& s : segments) total += s.bytes;
    std::vector<size_t> doomed;
    for (size_t i : order) {
        if (total <= keep_bytes) break;
        if (segments[i].busy) continue;
        doomed.push_back(i);
        total -= segments[i].bytes;
    }
    return doomed;
}

namespace {

uint64_t size_or_zero(const fs::path& path) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<uint64_t>(size);
}

// A recorder holds an exclusive lock on the file it writes for as long as it writes it.
bool locked_by_a_recorder(const fs::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    return flock(fd.get(), LOCK_SH | LOCK_NB) != 0;
}

}  // namespace

std::vector<RecordedSegment> find_segments(const std::string& save_dir) {
    std::vector<RecordedSegment> segments;
    std::error_code ec;
    fs::recursive_directory_iterator it(save_dir, fs::directory_options::skip_permission_denied,
                                        ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path& path = it->path();
        if (path.extension() != ".webm" || !it->is_regular_file(ec)) continue;
        fs::path sidecar = path;
        sidecar.replace_extension(".jsonl");
        segments.push_back({path.stem().string(), path.string(),
                            size_or_zero(path) + size_or_zero(sidecar),
                            locked_by_a_recorder(path)});
    }
    return segments;
}

void keep_recordings_under(const std::string& save_dir, uint64_t keep_bytes) {
    if (keep_bytes == 0) return;
    const std::vector<RecordedSegment> segments = find_segments(save_dir);
    for (size_t i : segments_over_bound(segments, keep_bytes)) {
        fs::path path = segments[i].video_path;
        std::error_code ec;
        // Another recorder may have deleted it first.
        if (!fs::remove(path, ec)) continue;
        fs::remove(path.replace_extension(".jsonl"), ec);
        spdlog::info("Deleted recording {} to keep recordings under {} bytes",
                     segments[i].video_path, keep_bytes);
    }
}

}  // namespace kelvra::norvane
