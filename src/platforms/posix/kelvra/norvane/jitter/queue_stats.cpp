#include "kelvra/norvane/jitter/queue_stats.hpp"

#include <nlohmann/json.hpp>

namespace kelvra::norvane::jitter {

void to_json(nlohmann::json& j, const QueueStats& stats) {
    j = nlohmann::json{{"pq", stats.pending},
                       {"kr", stats.keyframe_queue},
                       {"iq", stats.incremental_queue},
                       {"ur", stats.unknown_queue},
                       {"lt", stats.last_retransmits_count},
                       {"oq", stats.output},
                       {"ls", stats.last_sequence},
                       {"lq", stats.last_control_sequence},
                       {"le", stats.last_shown_sequence}};
}

}  // namespace kelvra::norvane::jitter
