// Configuration checks: a usable file is read in full, and every unusable one is refused with
// the key that is wrong.

#include "signal/server_config.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

namespace kelvra::norvane::signal_server {
namespace {

using nlohmann::json;

json valid_config() {
    return json::parse(R"({
        "http_address": "127.0.0.1", "http_port": 8080, "web_root": "/tmp",
        "gateways": [{"name": "gw1", "listen_port": 5466, "manet_addr": "0A0B0C0D",
                      "manet_key": "000102030405060708090a0b0c0d0e0f"}],
        "streams": [{"gateway": "gw1", "manet_addr": "0000beef", "camera": 1,
                     "key": "1032547698badcfe0123456789abcdef", "name": "Front camera"}],
        "ice_servers": [{"urls": "turn:10.0.0.1:3478", "username": "u", "credential": "p"}]})");
}

TEST(SignalServerConfig, ReadsEveryField) {
    const ServerConfig config = parse_server_config(valid_config());
    EXPECT_EQ(config.http_port, 8080);
    ASSERT_EQ(config.gateways.size(), 1u);
    EXPECT_EQ(config.gateways[0].listen_port, 5466);
    EXPECT_EQ(config.gateways[0].manet_addr, 0x0A0B0C0Du);
    EXPECT_EQ(config.gateways[0].manet_key[15], 0x0F);
    ASSERT_EQ(config.streams.size(), 1u);
    EXPECT_EQ(config.streams[0].id.text(), "gw1/0000BEEF/1");
    EXPECT_EQ(config.streams[0].key[0], 0x10);
    EXPECT_EQ(config.streams[0].name, "Front camera");
    ASSERT_EQ(config.ice_servers.size(), 1u);
    EXPECT_EQ(config.ice_servers[0].urls, std::vector<std::string>{"turn:10.0.0.1:3478"});
    EXPECT_EQ(config.ice_servers[0].credential, "p");
    // Exposed only when asked: gateways on loopback, pages only under the local names.
    EXPECT_EQ(config.gateways[0].listen_address, "127.0.0.1");
    EXPECT_TRUE(config.gateways[0].allowed_sources.empty());
    EXPECT_EQ(config.public_hosts,
              (std::vector<std::string>{"127.0.0.1", "localhost", "127.0.0.1"}));

    json exposed = valid_config();
    exposed["public_hosts"] = {"Viewer.Example", "::1"};
    exposed["gateways"][0]["allowed_sources"] = {"192.0.2.7", "2001:db8::1"};
    exposed["limits"] = {{"sessions_total", 9}};
    const ServerConfig exposed_config = parse_server_config(exposed);
    EXPECT_EQ(exposed_config.public_hosts, (std::vector<std::string>{"viewer.example", "::1"}));
    EXPECT_EQ(exposed_config.gateways[0].allowed_sources.size(), 2u);
    EXPECT_EQ(exposed_config.limits.sessions_total, 9u);
    EXPECT_EQ(exposed_config.limits.sessions_per_stream, Limits{}.sessions_per_stream);
}

TEST(SignalServerConfig, RefusesWhatItCannotUseNamingTheKey) {
    struct Case {
        const char* pointer;
        json value;
        const char* expected_key;
    };
    const Case cases[] = {
        {"/http_port", "8080", "http_port:"},
        {"/http_port", 0, "http_port:"},
        {"/web_root", "/nonexistent/dir", "web_root:"},
        {"/gateways", json::array(), "gateways:"},
        {"/gateways/0/listen_port", 70000, "gateways[0].listen_port:"},
        {"/gateways/0/listen_port", 8080, "gateways[0].listen_port:"},
        {"/gateways/0/manet_key", "0001", "gateways[0].manet_key:"},
        {"/gateways/0/manet_addr", "123456789", "gateways[0].manet_addr:"},
        {"/gateways/0/name", "gw/1", "gateways[0].name:"},
        {"/gateways/0/lisen_port", 1, "gateways[0].lisen_port: unknown key"},
        {"/streams/0/gateway", "gw2", "streams[0].gateway:"},
        {"/streams/0/camera", 256, "streams[0].camera:"},
        {"/streams/0/camera", 1.5, "streams[0].camera:"},
        {"/streams/0/key", "zz32547698badcfe0123456789abcdef", "streams[0].key:"},
        {"/streams/1", valid_config()["streams"][0], "streams[1]: same stream"},
        // Passwords would cross the network in the clear.
        {"/http_address", "0.0.0.0", "http_address: '0.0.0.0' is not loopback"},
        {"/tls_cert", "/etc/cert.pem", "tls_key: missing"},
        {"/allow_insecure_http", "yes", "allow_insecure_http:"},
        {"/ice_servers", json::object(), "ice_servers:"},
        {"/ice_servers/0/urls", json::array(), "ice_servers[0].urls:"},
        {"/ice_servers/0/urls", "turn://u:p@10.0.0.1:3478", "ice_servers[0].urls:"},
        {"/ice_servers/0/credential", "", "ice_servers[0]: a TURN server needs"},
        {"/gateways/0/allowed_sources", json::array({"gw.example"}),
         "gateways[0].allowed_sources:"},
        {"/gateways/0/allowed_sources", "10.0.0.1", "gateways[0].allowed_sources:"},
        {"/public_hosts", json::array({"viewer.example:8080"}), "public_hosts:"},
        {"/public_hosts", json::array(), "public_hosts:"},
        {"/limits", {{"sessions_total", 0}}, "limits.sessions_total:"},
        {"/limits", {{"session_total", 5}}, "limits.session_total: unknown key"},
    };
    for (const Case& c : cases) {
        json config = valid_config();
        config[json::json_pointer(c.pointer)] = c.value;
        try {
            parse_server_config(config);
            ADD_FAILURE() << c.pointer << " accepted";
        } catch (const ConfigError& error) {
            EXPECT_NE(std::string(error.what()).find(c.expected_key), std::string::npos)
                << c.pointer << ": " << error.what();
        }
    }
    json missing = valid_config();
    missing["gateways"][0].erase("manet_key");
    EXPECT_THROW(parse_server_config(missing), ConfigError);
    EXPECT_THROW(parse_server_config(json::array()), ConfigError);
    json opted_out = valid_config();
    opted_out["http_address"] = "0.0.0.0";
    opted_out["allow_insecure_http"] = true;
    EXPECT_NO_THROW(parse_server_config(opted_out));
    opted_out["http_address"] = "::1";
    opted_out.erase("allow_insecure_http");
    EXPECT_NO_THROW(parse_server_config(opted_out));
}

TEST(SignalServerConfig, StreamIdsRoundTripAndRejectGarbage) {
    const auto id = parse_stream_id("gw1/beef/7");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->text(), "gw1/0000BEEF/7");
    EXPECT_EQ(parse_stream_id(id->text()), id);
    for (const char* bad : {"", "gw1", "gw1/beef", "/beef/1", "gw1/beef/256", "gw1/xyz/1",
                            "gw1/beef/-1", "gw1/123456789/1", "gw1/beef/1/2"}) {
        EXPECT_FALSE(parse_stream_id(bad)) << bad;
    }
}

}  // namespace
}  // namespace kelvra::norvane::signal_server
