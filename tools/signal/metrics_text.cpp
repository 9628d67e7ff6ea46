#include "signal/metrics_text.hpp"

#include <fmt/format.h>

namespace kelvra::norvane::signal_server {

void MetricsText::family(std::string_view name, std::string_view help, std::string_view type) {
    text_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

void MetricsText::sample(
    std::string_view name,
    std::initializer_list<std::pair<std::string_view, std::string_view>> labels, uint64_t value) {
    text_ += name;
    if (labels.size() != 0) {
        text_ += '{';
        bool first = true;
        for (const auto& [label, label_value] : labels) {
            if (!first) text_ += ',';
            first = false;
            text_ += fmt::format("{}=\"{}\"", label, escape(label_value));
        }
        text_ += '}';
    }
    text_ += fmt::format(" {}\n", value);
}

std::string MetricsText::escape(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace kelvra::norvane::signal_server
