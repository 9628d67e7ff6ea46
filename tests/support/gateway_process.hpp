#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/process_runner.hpp"

namespace kelvra::testing {

struct GatewayConfig {
    uint16_t signalling_port = 0;
    int log_level = 1;
    bool log_statistics = false;
    bool save_statistics_to_file = false;
    std::vector<std::string> ice_local_addresses = {};  // written only when not empty
    // More members for the configuration, e.g. "\"latency_ms\": 200", set over the fields above.
    std::string extra_json = {};
    // Another build of the gateway program (benchmarks compare builds); the tested one if empty.
    std::string binary = {};
    // Shell commands run just before the gateway starts, in the shell that then becomes the
    // gateway; `$dir` names the gateway's temporary directory (its save_dir is `$dir/flights`).
    // With `own_mount_namespace`, mounts made there are seen by the gateway alone.
    std::string setup_command = {};
    bool own_mount_namespace = false;
};

// A configuration the gateway runs with on loopback: video datagrams to `udp_port`, the
// signalling server on `signalling_port`, kTestManetKey as the manet key.
nlohmann::json gateway_config_json(uint16_t udp_port, uint16_t signalling_port,
                                   const std::string& save_dir);

// The real gateway binary on a fresh configuration in its own temporary directory, with its
// output going to a file (so a chatty log never blocks it on a full pipe).
class GatewayProcess {
public:
    explicit GatewayProcess(const GatewayConfig& config);
    ~GatewayProcess();

    uint16_t udp_port() const { return udp_port_; }
    std::string gateway_address() const { return "127.0.0.1:" + std::to_string(udp_port_); }
    const std::filesystem::path& directory() const { return dir_; }
    std::filesystem::path save_dir() const { return dir_ / "flights"; }
    ProcessRunner& process() { return *runner_; }

    std::string log() const;
    size_t count(const std::string& text) const;
    // Waits until `text` appears `times` times in the log.
    bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout,
                      size_t times = 1) const;
    // SIGTERM and the exit status (empty when it did not end within `timeout`).
    std::optional<ExitStatus> stop(std::chrono::milliseconds timeout = std::chrono::seconds(3));

private:
    std::filesystem::path dir_;
    uint16_t udp_port_ = 0;
    std::unique_ptr<ProcessRunner> runner_;
};

// Runs the sender simulator to completion and returns its counters from the summary line.
struct SenderRun {
    std::optional<ExitStatus> status;
    std::map<std::string, uint64_t> summary;
    std::string out;
    std::string err;

    bool ok() const { return status && status->exited_with(0); }
};
// Counters of the sender simulator's summary line ("summary frames=... stats=..."), if printed,
// or of another program's line of name=value counters that starts with `prefix`.
std::map<std::string, uint64_t> sender_summary(const std::string& out,
                                               const std::string& prefix = "summary ");
// The first group of every match of `pattern` in `log`, in order.
std::vector<std::string> log_matches(const std::string& log, const std::string& pattern);
SenderRun run_sender(const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace kelvra::testing
