#pragma once

// A grant names the streams a viewer account may see and open: "*" (all), "gw1/*" (one
// gateway), "gw1/0000ABCD/*" (one drone) or "gw1/0000ABCD/1" (one camera). Addresses are
// compared as numbers, so their case and leading zeros do not matter.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signal/stream_id.hpp"

namespace kelvra::norvane::signal_server {

class Grant {
public:
    // Nothing for a pattern that is none of the forms above.
    static std::optional<Grant> parse(std::string_view pattern);
    bool matches(const StreamId& stream) const;
    const std::string& pattern() const { return pattern_; }

private:
    std::string pattern_;
    std::optional<std::string> gateway_;
    std::optional<uint32_t> manet_addr_;
    std::optional<uint8_t> camera_;
};

bool any_grant_matches(const std::vector<Grant>& grants, const StreamId& stream);

}  // namespace kelvra::norvane::signal_server
