#include "signal/signal_app.hpp"

#include <glib-unix.h>
#include <signal.h>
#include <spdlog/spdlog.h>

namespace kelvra::norvane::signal_server {

namespace {

GSourcePtr attach(GSource* source, GSourceFunc callback, gpointer data) {
    g_source_set_callback(source, callback, data, nullptr);
    g_source_attach(source, nullptr);
    return GSourcePtr(source);
}

}  // namespace

SignalApp::SignalApp(ServerConfig config, StateDb& state)
    : config_(std::move(config)),
      users_(state.db()),
      auth_(users_, monotonic_clock(), utc_clock()),
      auth_http_(auth_, !config_.tls_cert.empty(), is_loopback_address(config_.http_address)),
      gateways_(config_.gateways, std::chrono::seconds(config_.limits.gateway_proof_seconds)),
      viewers_(config_.limits),
      hub_(config_, gateways_, viewers_),
      http_(config_, hub_, viewers_, auth_http_, state),
      loop_(g_main_loop_new(nullptr, FALSE)) {
    viewers_.set_hub(&hub_);
    hub_.set_access([this](ViewerId viewer, const StreamId& stream) {
        const Account* account = viewers_.account_of(viewer);
        return account != nullptr && account->may_see(stream);
    });
}

SignalApp::~SignalApp() {
    viewers_.set_hub(nullptr);
}

int SignalApp::run() {
    try {
        gateways_.start(hub_);
        http_.start();
        // Like a notebook server's: whoever can read this log may log in once, with no
        // account made beforehand.
        spdlog::info("Log in at {}?login={}", http_.base_url(), auth_.issue_startup_secret());
    } catch (const std::exception& error) {
        spdlog::error("{}", error.what());
        return 1;
    }
    tick_ = attach(g_timeout_source_new(1000), on_tick, this);
    sigint_ = attach(g_unix_signal_source_new(SIGINT), on_stop_signal, this);
    sigterm_ = attach(g_unix_signal_source_new(SIGTERM), on_stop_signal, this);
    spdlog::info("norvane-signal ready");
    g_main_loop_run(loop_.get());
    spdlog::info("norvane-signal stopping");
    return 0;
}

gboolean SignalApp::on_tick(gpointer self) {
    static_cast<SignalApp*>(self)->hub_.tick();
    return G_SOURCE_CONTINUE;
}

gboolean SignalApp::on_stop_signal(gpointer self) {
    g_main_loop_quit(static_cast<SignalApp*>(self)->loop_.get());
    return G_SOURCE_CONTINUE;
}

}  // namespace kelvra::norvane::signal_server
