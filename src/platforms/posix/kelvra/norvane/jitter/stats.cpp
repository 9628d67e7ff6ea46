#include "kelvra/norvane/jitter/stats.hpp"

#include <nlohmann/json.hpp>

namespace kelvra::norvane::jitter {

void to_json(nlohmann::json& j, const Stats& stats) {
    j = nlohmann::json{{"sf", stats.skipped_frames},
                       {"df", stats.delayed_frames},
                       {"rn", stats.retransmissions_number},
                       {"dn", stats.duplicates_number},
                       {"sn", stats.sequence_number},
                       {"id", stats.fragment_id},
                       {"rt", stats.roundtrip},
                       {"lr", stats.min_roundtrip},
                       {"mr", stats.max_roundtrip},
                       {"no", stats.blocked_by_keyframe},
                       {"un", stats.blocked_by_frame}};
}

}  // namespace kelvra::norvane::jitter
