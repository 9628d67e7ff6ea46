#include "support/gateway_process.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/log_capture.hpp"

namespace kelvra::testing {
namespace {

std::string quote(const std::string& text) {
    return "'" + text + "'";
}

}  // namespace

nlohmann::json gateway_config_json(uint16_t udp_port, uint16_t signalling_port,
                                   const std::string& save_dir) {
    nlohmann::json config = nlohmann::json::parse(R"({
        "listen_ip": "127.0.0.1", "utm_host": "127.0.0.1", "stun_url": "stun.test:3478",
        "turn_url": "u:p@turn.test:3478", "log_statistics": false, "log_level": 1,
        "show_local_video": false, "manet_addr": "0000ABCD",
        "manet_key": "000102030405060708090a0b0c0d0e0f", "save_statistics_to_file": false})");
    config["listen_port"] = udp_port;
    config["utm_port"] = signalling_port;
    config["save_dir"] = save_dir;
    return config;
}

GatewayProcess::GatewayProcess(const GatewayConfig& config)
    : dir_(make_temp_dir("norvane-e2e-")), udp_port_(free_udp_port()) {
    nlohmann::json file =
        gateway_config_json(udp_port_, config.signalling_port, (dir_ / "flights").string());
    file["log_level"] = config.log_level;
    file["log_statistics"] = config.log_statistics;
    file["save_statistics_to_file"] = config.save_statistics_to_file;
    if (!config.ice_local_addresses.empty())
        file["ice_local_addresses"] = config.ice_local_addresses;
    if (!config.extra_json.empty())
        file.update(nlohmann::json::parse("{" + config.extra_json + "}"));
    const auto config_path = dir_ / "norvane.json";
    std::ofstream(config_path) << file.dump(2) << "\n";
    const std::string binary = config.binary.empty() ? NORVANE_BINARY : config.binary;
    const std::string setup =
        config.setup_command.empty() ? "" : "set -e; " + config.setup_command + "\n";
    const std::string command = "dir=" + quote(dir_.string()) + "\n" + setup + "exec " +
                                quote(binary) + " -c " + quote(config_path.string()) + " > " +
                                quote((dir_ / "norvane.log").string()) + " 2>&1";
    // unshare runs the shell in the same process, so the runner's pid stays the gateway's.
    runner_ =
        config.own_mount_namespace
            ? std::make_unique<ProcessRunner>(
                  "/usr/bin/unshare", std::vector<std::string>{"--mount", "/bin/sh", "-c", command})
            : std::make_unique<ProcessRunner>("/bin/sh", std::vector<std::string>{"-c", command});
    // Ready once it reads its signals from the signal descriptor (the socket is bound by then).
    runner_->wait_for_blocked_signal(SIGTERM, std::chrono::seconds(10));
}

GatewayProcess::~GatewayProcess() {
    if (runner_->running()) stop();
    std::error_code ec;
    if (!::testing::Test::HasFailure()) std::filesystem::remove_all(dir_, ec);
}

std::string GatewayProcess::log() const {
    std::ifstream in(dir_ / "norvane.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t GatewayProcess::count(const std::string& text) const {
    return occurrences(log(), text);
}

bool GatewayProcess::wait_for_log(const std::string& text, std::chrono::milliseconds timeout,
                                  size_t times) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (count(text) < times) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::optional<ExitStatus> GatewayProcess::stop(std::chrono::milliseconds timeout) {
    runner_->send_signal(SIGTERM);
    return runner_->wait(timeout);
}

std::map<std::string, uint64_t> sender_summary(const std::string& out, const std::string& prefix) {
    std::map<std::string, uint64_t> summary;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::istringstream fields(line.substr(prefix.size()));
        std::string field;
        while (fields >> field) {
            const auto eq = field.find('=');
            if (eq != std::string::npos)
                summary[field.substr(0, eq)] = std::stoull(field.substr(eq + 1));
        }
    }
    return summary;
}

std::vector<std::string> log_matches(const std::string& log, const std::string& pattern) {
    const std::regex regex(pattern);
    std::vector<std::string> found;
    for (std::sregex_iterator it(log.begin(), log.end(), regex), end; it != end; ++it)
        found.push_back((*it)[1]);
    return found;
}

SenderRun run_sender(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    ProcessResult result = run_process(NORVANE_SENDER_BINARY, args, timeout);
    SenderRun run{result.status, {}, std::move(result.out), std::move(result.err)};
    run.summary = sender_summary(run.out);
    return run;
}

}  // namespace kelvra::testing
