#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra::norvane::signal_server {

// The files of the web page. A request path never leads outside the root, whether by "..", by
// encoded separators or by a symbolic link.
class StaticFiles {
public:
    static constexpr uintmax_t kMaxFileSize = 32u << 20;

    explicit StaticFiles(const std::filesystem::path& root);

    // The regular file for the request path as it appears in the URI (percent-encoded);
    // directories stand for their index.html. Empty when there is no such file under the root.
    std::optional<std::filesystem::path> resolve(std::string_view uri_path) const;
    static std::string content_type(const std::filesystem::path& file);
    // The file's bytes; empty when it cannot be read or is larger than kMaxFileSize.
    static std::optional<std::string> read(const std::filesystem::path& file);

private:
    std::filesystem::path root_;
};

}  // namespace kelvra::norvane::signal_server
