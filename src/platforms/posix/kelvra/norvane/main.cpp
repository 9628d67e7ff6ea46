#include <spdlog/spdlog.h>

#include <memory>
#include <string>

#include "kelvra/core/unique_fd.hpp"
#include "kelvra/norvane/config/config_parser.hpp"
#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/ingest/receiving_socket.hpp"
#include "kelvra/norvane/process/child_exit.hpp"
#include "kelvra/norvane/process/child_terminated_exception.hpp"
#include "kelvra/norvane/process/runtime_manager.hpp"
#include "kelvra/norvane/signalling/signalling_client.hpp"

namespace {

constexpr const char* kLogPattern = "Norvane [%H:%M:%S --- %f] [%L]: %v";
constexpr int64_t kStreamTimeoutUs = 15'000'000;

void install_logging(spdlog::level::level_enum level) {
    spdlog::set_pattern(kLogPattern, spdlog::pattern_time_type::local);
    spdlog::set_level(level);
    spdlog::flush_on(level);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kelvra;

    // Kept for the life of the process: the signalling client points at its manet record.
    const norvane::ConfigParser config = norvane::ConfigParser::create_from_args(argc, argv);
    const auto log_level = static_cast<spdlog::level::level_enum>(config.log_level);
    install_logging(log_level);

    auto signalling_client = std::make_unique<norvane::SignallingClient>(
        config.utm_host, std::to_string(config.utm_port), &config.manet);
    signalling_client->set_require_encryption(config.signalling_encryption_required);
    // Outlives the gateway, which reads it but does not own it.
    const UniqueFd video_socket =
        norvane::open_receiving_socket(config.listen_ip, config.listen_port);
    if (!video_socket) return 1;
    norvane::apply_receive_buffer(video_socket.get(), config.receive_buffer_bytes);
    auto runtime_manager = std::make_unique<RuntimeManager>();

    std::unique_ptr<Norvane> gateway;
    try {
        gateway = std::make_unique<Norvane>(
            video_socket.get(), std::move(runtime_manager), std::move(signalling_client),
            config.stun_url, config.turn_url, log_level, config.log_statistics, config.save_dir,
            kStreamTimeoutUs, config.save_statistics_to_file);
        gateway->set_ice_local_addresses(config.ice_local_addresses);
        gateway->set_latency_budget(config.latency_ms);
        gateway->set_max_incomplete_bytes(config.max_incomplete_bytes);
        gateway->set_catchup_limits(config.catchup_max_bytes, config.catchup_max_frames);
        gateway->set_recording({config.record, static_cast<int64_t>(config.record_segment_s),
                                config.record_keep_bytes});
        gateway->run();
        gateway.reset();
    } catch (const ChildTerminatedException& e) {
        // A session child that has unwound out of the parent's loop; `gateway` is its copy of
        // the parent's and is left alone.
        end_child_process(e.code);
    }
    return 0;
}
