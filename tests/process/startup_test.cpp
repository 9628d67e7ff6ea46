// Runs the built gateway program and checks how it starts and how it ends: help, command-line
// and configuration failures, socket failures, and an orderly stop on SIGTERM or SIGINT.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "support/process_runner.hpp"

namespace kelvra::testing {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

constexpr const char* kHelpHeader =
    "Streams in realtime video from file via WebRTC\nUsage:\n  Ombrix [OPTION...]\n";

// A directory of its own for each test, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "norvane-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string write(const std::string& name, const std::string& text) const {
        const std::string file = (std::filesystem::path(path_) / name).string();
        std::ofstream(file) << text;
        return file;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A configuration the program can run with: loopback only, free ports, nobody listening on
// the signalling port.
json runnable_config(const TempDir& dir) {
    return json{
        {"listen_ip", "127.0.0.1"},        {"listen_port", free_udp_port()},
        {"utm_host", "127.0.0.1"},         {"utm_port", free_tcp_port()},
        {"stun_url", "stun.test:3478"},    {"turn_url", "u:p@turn.test:3478"},
        {"log_statistics", false},         {"log_level", 1},
        {"save_dir", dir.path() + "/"},    {"show_local_video", false},
        {"manet_addr", "0A0B0C0D"},        {"manet_key", "000102030405060708090a0b0c0d0e0f"},
        {"save_statistics_to_file", false}};
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Lines of the logging library's own format, which configuration errors are logged in because
// the program has not installed its format yet: "[2024-05-01 12:00:00.123] [critical] text".
std::vector<std::string> default_format_critical_messages(const std::string& out) {
    static const std::regex line(
        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[critical\] (.*)$)");
    std::vector<std::string> messages;
    for (const std::string& text : lines_of(out)) {
        std::smatch match;
        if (std::regex_match(text, match, line)) messages.push_back(match[1]);
    }
    return messages;
}

// Whether `out` has a line of the program's format, "Norvane [14:03:07 --- 052311] [C]: text".
bool has_program_line(const std::string& out, char level, const std::string& message) {
    static const std::regex line(R"(^Norvane \[\d\d:\d\d:\d\d --- \d{6}\] \[(.)\]: (.*)$)");
    for (const std::string& text : lines_of(out)) {
        std::smatch match;
        if (std::regex_match(text, match, line) && match[1] == std::string(1, level) &&
            match[2] == message) {
            return true;
        }
    }
    return false;
}

ProcessResult run_norvane(const std::vector<std::string>& args) {
    return run_process(NORVANE_BINARY, args, 20s);
}

void expect_status(const ProcessResult& result, int code) {
    ASSERT_TRUE(result.status.has_value()) << "still running at the deadline";
    EXPECT_TRUE(result.status->exited_with(code)) << result.status->describe() << "\nstdout:\n"
                                                  << result.out << "\nstderr:\n"
                                                  << result.err;
}

TEST(CommandLine, HelpGoesToStandardOutputAndEndsWithZero) {
    for (const char* option : {"--help", "-h"}) {
        const ProcessResult result = run_norvane({option});
        expect_status(result, 0);
        EXPECT_EQ(result.out.rfind(kHelpHeader, 0), 0u) << result.out;
        EXPECT_NE(result.out.find("-c, --config arg  Config file (default:"), std::string::npos);
        EXPECT_NE(result.out.find("/opt/kelvra/norvane/norvane-config.json"), std::string::npos);
        EXPECT_NE(result.out.find("-h, --help        Print usage"), std::string::npos);
        EXPECT_TRUE(default_format_critical_messages(result.out).empty());
    }
}

TEST(CommandLine, HelpWinsOverAMissingFile) {
    const ProcessResult result = run_norvane({"-h", "-c", "/nonexistent/norvane.json"});
    expect_status(result, 0);
    EXPECT_EQ(result.out.rfind(kHelpHeader, 0), 0u) << result.out;
    EXPECT_EQ(result.out.find("ERROR: open config file"), std::string::npos);
}

TEST(CommandLine, MistakesAreReportedBeforeTheHelpAndEndWithOne) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, "Option ‘bogus’ does not exist"},
        {{"-h", "--bogus"}, "Option ‘bogus’ does not exist"},
        {{"-c"}, "Option ‘c’ is missing an argument"},
        {{"--help=yes"}, "Argument ‘yes’ failed to parse"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const ProcessResult result = run_norvane(c.args);
        expect_status(result, 1);
        EXPECT_EQ(default_format_critical_messages(result.out),
                  std::vector<std::string>{c.message});
        const size_t help = result.out.find(kHelpHeader);
        ASSERT_NE(help, std::string::npos) << result.out;
        EXPECT_GT(help, result.out.find(c.message));
    }
}

TEST(Configuration, UnreadableFileEndsWithOne) {
    const ProcessResult result = run_norvane({"-c", "/nonexistent/norvane.json"});
    expect_status(result, 1);
    EXPECT_EQ(default_format_critical_messages(result.out),
              std::vector<std::string>{"ERROR: open config file: /nonexistent/norvane.json"});
}

struct RejectedConfig {
    const char* name;
    std::string (*text)(json config);
    std::vector<std::string> messages;  // critical, in this order, and nothing else
};

std::string with(json config, const char* key, json value) {
    config[key] = std::move(value);
    return config.dump(2);
}

const RejectedConfig kRejectedConfigs[] = {
    {"EmptyFile",
     [](json) { return std::string(); },
     {"parse config file: [json.exception.parse_error.101] parse error at line 1, column 1: "
      "syntax error while parsing value - unexpected end of input; expected '[', '{', or a "
      "literal"}},
    {"BadJson",
     [](json) { return std::string("{\"listen_ip\": \"127.0.0.1\",}"); },
     {"parse config file: [json.exception.parse_error.101] parse error at line 1, column 27: "
      "syntax error while parsing object key - unexpected '}'; expected string literal"}},
    {"MissingKey",
     [](json config) {
         config.erase("show_local_video");
         return config.dump();
     },
     {"parse config file: [json.exception.out_of_range.403] key 'show_local_video' not found"}},
    {"PortAsString",
     [](json config) { return with(config, "listen_port", "30000"); },
     {"parse config file: [json.exception.type_error.302] type must be number, but is string"}},
    {"ShortAddress",
     [](json config) { return with(config, "manet_addr", "0A0B0C0"); },
     {"7 != 8", "parse config file: [json.exception.type_error.1001] Manet addr has wrong len"}},
    {"ShortAddressAndKey",
     [](json config) {
         config["manet_key"] = "000102030405060708090a0b0c0d0e0";
         return with(config, "manet_addr", "0A0B0C0");
     },
     {"7 != 8", "parse config file: [json.exception.type_error.1001] Manet addr has wrong len"}},
    {"LongKey",
     [](json config) { return with(config, "manet_key", "000102030405060708090a0b0c0d0e0f00"); },
     {"34 != 32", "parse config file: [json.exception.type_error.1002] Manet key has wrong len"}},
    {"AddressWithBadDigit",
     [](json config) { return with(config, "manet_addr", "0A0B0C0Z"); },
     {"parse config file: [json.exception.type_error.1003] Manet addr has wrong format"}},
    {"KeyWithBadDigit",
     [](json config) { return with(config, "manet_key", "0001020304050607-8090a0b0c0d0e0f"); },
     {"parse config file: [json.exception.type_error.1004] Manet key has wrong format"}},
};

void PrintTo(const RejectedConfig& config, std::ostream* os) {
    *os << config.name;
}

class RejectedConfiguration : public ::testing::TestWithParam<RejectedConfig> {};

TEST_P(RejectedConfiguration, IsReportedInTheLibraryFormatAndEndsWithOne) {
    TempDir dir;
    const std::string path = dir.write("norvane.json", GetParam().text(runnable_config(dir)));
    const ProcessResult result = run_norvane({"-c", path});
    expect_status(result, 1);
    EXPECT_EQ(default_format_critical_messages(result.out), GetParam().messages) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Cases, RejectedConfiguration, ::testing::ValuesIn(kRejectedConfigs),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Configuration, ToleratedVariantsGetPastLoading) {
    // A host name instead of an address stops the program right after loading, in its own
    // log format, which shows that the file itself was accepted.
    TempDir dir;
    json config = runnable_config(dir);
    config["listen_ip"] = "localhost";
    config["manet_addr"] = "0a0b0c0d";
    config["manet_key"] = "000102030405060708090A0B0C0D0E0F";
    config["unknown_setting"] = {{"nested", true}};
    config.erase("save_statistics_to_file");

    const ProcessResult result = run_norvane({"-c", dir.write("norvane.json", config.dump())});
    expect_status(result, 1);
    EXPECT_TRUE(default_format_critical_messages(result.out).empty()) << result.out;
    EXPECT_TRUE(has_program_line(result.out, 'C', "Wrong listen ip address localhost"))
        << result.out;
}

TEST(Configuration, LogLevelAboveCriticalSilencesTheProgram) {
    TempDir dir;
    json config = runnable_config(dir);
    config["listen_ip"] = "localhost";
    config["log_level"] = 42;
    const ProcessResult result = run_norvane({"-c", dir.write("norvane.json", config.dump())});
    expect_status(result, 1);
    EXPECT_EQ(result.out, "");
}

TEST(Startup, PortAlreadyBoundEndsWithOne) {
    TempDir dir;
    json config = runnable_config(dir);
    UniqueFd holder(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(config["listen_port"].get<uint16_t>());
    ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

    const ProcessResult result = run_norvane({"-c", dir.write("norvane.json", config.dump())});
    expect_status(result, 1);
    EXPECT_TRUE(has_program_line(result.out, 'C', "Failed to bind socket to address."))
        << result.out;
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheProgramWithZero) {
    TempDir dir;
    const std::string path = dir.write("norvane.json", runnable_config(dir).dump());
    ProcessRunner norvane(NORVANE_BINARY, {"-c", path});
    // Once it blocks the signal it reads it from its loop instead of dying of it.
    ASSERT_TRUE(norvane.wait_for_blocked_signal(GetParam(), 20s)) << norvane.out();

    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(norvane.send_signal(GetParam()));
    const auto status = norvane.wait(20s);
    ASSERT_TRUE(status.has_value()) << "still running\n" << norvane.out();
    EXPECT_TRUE(status->exited_with(0)) << status->describe() << "\n" << norvane.out();
    // Without children it stops in the turn that reads the signal, not at the end of the
    // two seconds it would give children to go.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s);
    EXPECT_TRUE(has_program_line(norvane.out(), 'D', "Got SIGTERM || SIGINT")) << norvane.out();
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, StopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

}  // namespace
}  // namespace kelvra::testing
