#include "signal/grants.hpp"

#include <algorithm>

#include "signal/hex.hpp"

namespace kelvra::norvane::signal_server {

std::optional<Grant> Grant::parse(std::string_view pattern) {
    Grant grant;
    grant.pattern_ = std::string(pattern);
    if (pattern == "*") return grant;
    std::vector<std::string_view> parts;
    for (std::string_view rest = pattern;;) {
        const size_t slash = rest.find('/');
        parts.push_back(rest.substr(0, slash));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    // A wildcard may stand only last: "gw1/*/1" would read as more than it grants.
    if (parts.size() < 2 || parts.size() > 3 || parts[0].empty() || parts[0] == "*") {
        return std::nullopt;
    }
    grant.gateway_ = std::string(parts[0]);
    if (parts[1] == "*") return parts.size() == 2 ? std::optional(grant) : std::nullopt;
    grant.manet_addr_ = parse_manet_addr(parts[1]);
    if (!grant.manet_addr_ || parts.size() != 3) return std::nullopt;
    if (parts[2] == "*") return grant;
    const auto camera = parse_decimal(parts[2], 255);
    if (!camera) return std::nullopt;
    grant.camera_ = static_cast<uint8_t>(*camera);
    return grant;
}

bool Grant::matches(const StreamId& stream) const {
    return (!gateway_ || *gateway_ == stream.gateway) &&
           (!manet_addr_ || *manet_addr_ == stream.manet_addr) &&
           (!camera_ || *camera_ == stream.camera);
}

bool any_grant_matches(const std::vector<Grant>& grants, const StreamId& stream) {
    return std::any_of(grants.begin(), grants.end(),
                       [&](const Grant& grant) { return grant.matches(stream); });
}

}  // namespace kelvra::norvane::signal_server
