// Which requests reach the server: named by one of its host names (a rebound DNS name is not),
// written to only from its own pages, and with ranges only of files, a few at a time.

#include "signal/request_admission.hpp"

#include <gtest/gtest.h>

namespace kelvra::norvane::signal_server {
namespace {

TEST(SignalRequestAdmission, RefusesForeignHostsOriginsAndRanges) {
    const RequestAdmission admission({"127.0.0.1", "localhost", "viewer.example", "::1"}, 8080, 4);
    struct Case {
        const char* method;
        const char* path;
        const char* host;
        const char* origin;
        const char* range;
        unsigned status;  // 0: admitted
    };
    const Case cases[] = {
        {"GET", "/", "127.0.0.1:8080", nullptr, nullptr, 0},
        {"GET", "/", "Viewer.Example", nullptr, nullptr, 0},
        {"GET", "/", "[::1]:8080", nullptr, nullptr, 0},
        {"GET", "/", "rebound.attacker.example:8080", nullptr, nullptr, 421},
        {"GET", "/", nullptr, nullptr, nullptr, 421},
        {"GET", "/", "localhost:notaport", nullptr, nullptr, 421},
        {"GET", "/", "[::1", nullptr, nullptr, 421},
        // Reads need no origin; writes and the WebSocket need their own page's, when named.
        {"GET", "/api/streams", "localhost", "http://elsewhere.example", nullptr, 0},
        {"POST", "/api/streams", "localhost", nullptr, nullptr, 0},
        {"POST", "/api/streams", "localhost", "http://localhost:8080", nullptr, 0},
        {"DELETE", "/api/streams/a/1/1", "localhost", "http://viewer.example:8080", nullptr, 0},
        {"POST", "/api/streams", "localhost", "http://elsewhere.example:8080", nullptr, 403},
        {"DELETE", "/api/streams/a/1/1", "localhost", "null", nullptr, 403},
        {"POST", "/api/streams", "localhost", "http://localhost:9090", nullptr, 403},
        {"POST", "/api/streams", "localhost", "http://localhost", nullptr, 403},
        {"POST", "/api/streams", "localhost", "ftp://localhost:8080", nullptr, 403},
        {"GET", "/ws", "localhost", "http://[::1]:8080", nullptr, 0},
        {"GET", "/ws", "localhost", "https://elsewhere.example:8080", nullptr, 403},
        {"GET", "/app.js", "localhost", nullptr, "bytes=0-10,20-30,40-50,60-70", 0},
        {"GET", "/app.js", "localhost", nullptr, "bytes=0-1,2-3,4-5,6-7,8-9", 416},
        {"GET", "/api/streams", "localhost", nullptr, "bytes=0-10", 416},
        {"GET", "/metrics", "localhost", nullptr, "bytes=0-10", 416},
    };
    for (const Case& c : cases) {
        const auto refusal = admission.check({c.method, c.path, c.host, c.origin, c.range});
        EXPECT_EQ(refusal ? refusal->status : 0u, c.status)
            << c.method << " " << c.path << " Host " << (c.host ? c.host : "-") << " Origin "
            << (c.origin ? c.origin : "-") << " Range " << (c.range ? c.range : "-");
    }
}

}  // namespace
}  // namespace kelvra::norvane::signal_server
