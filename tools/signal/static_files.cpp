#include "signal/static_files.hpp"

#include <glib.h>

#include <fstream>
#include <map>
#include <sstream>

#include "signal/glib_ref.hpp"

namespace kelvra::norvane::signal_server {

namespace fs = std::filesystem;

StaticFiles::StaticFiles(const fs::path& root) {
    std::error_code error;
    root_ = fs::canonical(root, error);
    if (error) root_.clear();
}

std::optional<fs::path> StaticFiles::resolve(std::string_view uri_path) const {
    if (root_.empty() || uri_path.empty() || uri_path.front() != '/') return std::nullopt;
    // Encoded slashes would smuggle separators past the segment checks below.
    GCharPtr decoded(
        g_uri_unescape_segment(uri_path.data(), uri_path.data() + uri_path.size(), "/"));
    if (!decoded) return std::nullopt;
    const std::string path(decoded.get());
    if (path.find('\0') != std::string::npos || path.find('\\') != std::string::npos) {
        return std::nullopt;
    }
    fs::path relative;
    std::stringstream segments(path.substr(1));
    std::string segment;
    while (std::getline(segments, segment, '/')) {
        if (segment.empty()) continue;
        if (segment == "." || segment == ".." || segment.front() == '.') return std::nullopt;
        relative /= segment;
    }
    std::error_code error;
    fs::path file = fs::canonical(root_ / relative, error);
    if (error) return std::nullopt;
    if (fs::is_directory(file, error)) file = fs::canonical(file / "index.html", error);
    if (error || !fs::is_regular_file(file, error)) return std::nullopt;
    // Symbolic links may point anywhere: the resolved file must still be under the root.
    const auto [root_end, file_it] =
        std::mismatch(root_.begin(), root_.end(), file.begin(), file.end());
    if (root_end != root_.end()) return std::nullopt;
    return file;
}

std::string StaticFiles::content_type(const fs::path& file) {
    static const std::map<std::string, std::string> kTypes = {
        {".html", "text/html; charset=utf-8"},
        {".htm", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
    };
    const auto it = kTypes.find(file.extension().string());
    return it == kTypes.end() ? "application/octet-stream" : it->second;
}

std::optional<std::string> StaticFiles::read(const fs::path& file) {
    std::error_code error;
    const uintmax_t size = fs::file_size(file, error);
    if (error || size > kMaxFileSize) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) return std::nullopt;
    return bytes;
}

}  // namespace kelvra::norvane::signal_server
