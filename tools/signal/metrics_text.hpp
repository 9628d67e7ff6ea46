#pragma once

#include <string>
#include <string_view>

namespace kelvra::norvane::signal_server {

// Builds a page in the Prometheus text format, one family after the other.
class MetricsText {
public:
    // Starts a family; its samples must follow before the next one starts.
    void family(std::string_view name, std::string_view help, std::string_view type = "gauge");
    // `labels` is a list of name/value pairs, for example {{"gateway", "gw1"}}.
    void sample(std::string_view name,
                std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
                uint64_t value);
    const std::string& text() const { return text_; }

    // A label value with backslash, double quote and line feed escaped.
    static std::string escape(std::string_view value);

private:
    std::string text_;
};

}  // namespace kelvra::norvane::signal_server
