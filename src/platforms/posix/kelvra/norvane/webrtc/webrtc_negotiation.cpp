// The session's side of the offer/answer and ICE exchange. webrtcbin runs the negotiation
// callbacks on its own threads; the viewer's answer and candidates arrive on the loop thread.

#include <gst/sdp/sdp.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <memory>

#include "kelvra/norvane/process/child_exit.hpp"
#include "kelvra/norvane/webrtc/sdp_answer.hpp"
#include "kelvra/norvane/webrtc/webrtc_gst_session.hpp"

namespace kelvra {

namespace video = msgs::video;
using norvane::GCharPtr;
using norvane::GstPromisePtr;

namespace {

const char* ice_connection_state_text(int state) {
    switch (state) {
        case GST_WEBRTC_ICE_CONNECTION_STATE_NEW:
            return "ICE connection state: new";
        case GST_WEBRTC_ICE_CONNECTION_STATE_CHECKING:
            return "ICE connection state: checking";
        case GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED:
            return "ICE connection state: connected";
        case GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED:
            return "ICE connection state: completed";
        case GST_WEBRTC_ICE_CONNECTION_STATE_FAILED:
            return "ICE connection state: failed";
        case GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED:
            return "ICE connection state: disconnected";
        case GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED:
            return "ICE connection state: closed";
    }
    return nullptr;
}

const char* peer_connection_state_text(int state) {
    switch (state) {
        case GST_WEBRTC_PEER_CONNECTION_STATE_NEW:
            return "PEER connection state: new";
        case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING:
            return "PEER connection state: connecting";
        case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED:
            return "PEER connection state: connected";
        case GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED:
            return "PEER connection state: disconnected";
        case GST_WEBRTC_PEER_CONNECTION_STATE_FAILED:
            return "PEER connection state: failed";
        case GST_WEBRTC_PEER_CONNECTION_STATE_CLOSED:
            return "PEER connection state: closed";
    }
    return nullptr;
}

// Applies a description without waiting for webrtcbin's verdict: failures show up in the
// connection states the timer reports.
void set_description(GstElement* webrtcbin, const char* signal,
                     GstWebRTCSessionDescription* description) {
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(webrtcbin, signal, description, promise);
    gst_promise_interrupt(promise);
    gst_promise_unref(promise);
}

}  // namespace

void WebRTCGstSession::gst_on_negotiation_needed_static(GstElement* webrtcbin, gpointer self) {
    static_cast<WebRTCGstSession*>(self)->gst_on_negotiation_needed(webrtcbin);
}

// What an offer being created belongs to. The element is held until the offer is done with: a
// format change may replace it meanwhile, and the offer must not reach its successor.
struct WebRTCGstSession::PendingOffer {
    WebRTCGstSession* session;
    norvane::GstObjectPtr<GstElement> webrtcbin;

    static void free(gpointer pending) { delete static_cast<PendingOffer*>(pending); }
};

void WebRTCGstSession::gst_on_negotiation_needed(GstElement* webrtcbin) {
    spdlog::debug("Creating negotiation offer");
    auto pending = std::make_unique<PendingOffer>(PendingOffer{
        this, norvane::GstObjectPtr<GstElement>(GST_ELEMENT(gst_object_ref(webrtcbin)))});
    // The promise owns what it was made for and frees it with itself.
    GstPromise* promise = gst_promise_new_with_change_func(gst_on_offer_created_static,
                                                           pending.release(), PendingOffer::free);
    g_signal_emit_by_name(webrtcbin, "create-offer", nullptr, promise);
}

void WebRTCGstSession::gst_on_offer_created_static(GstPromise* promise, gpointer pending) {
    auto* offer = static_cast<PendingOffer*>(pending);
    offer->session->gst_on_offer_created_cb(promise, offer->webrtcbin.get());
}

void WebRTCGstSession::gst_on_offer_created_cb(GstPromise* promise_ptr, GstElement* webrtcbin) {
    const GstPromisePtr promise(promise_ptr);
    if (gst_promise_wait(promise.get()) != GST_PROMISE_RESULT_REPLIED) return;
    const GstStructure* reply = gst_promise_get_reply(promise.get());
    GstWebRTCSessionDescription* offer = nullptr;
    if (reply == nullptr) return;
    gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    if (offer == nullptr) return;

    set_description(webrtcbin, "set-local-description", offer);
    const GCharPtr text(gst_sdp_message_as_text(offer->sdp));
    spdlog::debug("Negotiation offer created:\n{}", text.get());
    // An element replaced by a format change has its own offer coming: the viewer must not
    // answer this one, since answers go to the current element.
    if (is_current_webrtcbin(webrtcbin)) {
        video::sdp_message message;
        message.sdp = text.get();
        message.type = "offer";
        send_peer_message(message);
    } else {
        spdlog::info("{}: offer of a replaced pipeline not sent", consumer_id_);
    }
    gst_webrtc_session_description_free(offer);
}

bool WebRTCGstSession::is_current_webrtcbin(GstElement* webrtcbin) {
    const std::lock_guard lock(webrtcbin_mutex_);
    return webrtcbin_ == webrtcbin;
}

void WebRTCGstSession::set_webrtcbin(GstElement* webrtcbin) {
    const std::lock_guard lock(webrtcbin_mutex_);
    webrtcbin_ = webrtcbin;
}

void WebRTCGstSession::gst_on_ice_candidate_static(GstElement*, guint mline_index, gchar* candidate,
                                                   gpointer self) {
    static_cast<WebRTCGstSession*>(self)->gst_on_ice_candidate(mline_index, candidate);
}

void WebRTCGstSession::gst_on_ice_candidate(guint mline_index, const gchar* candidate) {
    spdlog::debug("New ICE candidate {}", candidate != nullptr ? candidate : "");
    video::ice_message message;
    message.m_line_idx = mline_index;
    message.candidate = candidate;
    send_peer_message(message);
}

template <typename PeerMessage>
void WebRTCGstSession::send_peer_message(const PeerMessage& message) {
    const std::lock_guard lock(write_mutex_);
    peer_message_buffer_.clear();
    message_buffer_.clear();
    bool written = false;
    if (message.serialize(peer_message_buffer_) >= 0) {
        video::session_msg wrapped;
        wrapped.manet_addr = manet_addr_;
        wrapped.consumer_id = static_cast<uint32_t>(consumer_id_);
        wrapped.camera_type = camera_type_;
        wrapped.peer_msg = {peer_message_buffer_.data(),
                            static_cast<uint32_t>(peer_message_buffer_.size())};
        if (wrapped.serialize(message_buffer_) >= 0) {
            const ssize_t n = ::write(pipe_fd_, message_buffer_.data(), message_buffer_.size());
            written = n == static_cast<ssize_t>(message_buffer_.size());
        }
    }
    if (!written) spdlog::error("Failed to write into session pipe");
}

void WebRTCGstSession::handle_sdp_string(const char* sdp) {
    spdlog::debug("{}: got SDP:\n{}", consumer_id_, sdp);
    if (webrtcbin_ == nullptr) {
        spdlog::error("{}: no offer was made yet, SDP answer dropped", consumer_id_);
        return;
    }
    // An answer that does not parse comes from outside: it is dropped, the session goes on.
    norvane::GstSdpMessagePtr message = norvane::parse_sdp_answer(sdp);
    if (!message) {
        spdlog::error("{}: could not parse SDP answer, dropped", consumer_id_);
        return;
    }
    GstWebRTCSessionDescription* answer =
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message.release());
    set_description(webrtcbin_, "set-remote-description", answer);
    gst_webrtc_session_description_free(answer);
}

void WebRTCGstSession::handle_ice_candidate_string(uint32_t mline_index, const char* candidate) {
    const bool empty = candidate == nullptr || candidate[0] == '\0';
    spdlog::debug("{}: received ICE candidate with mline index {};\n{}", consumer_id_, mline_index,
                  empty ? "NULL" : candidate);
    if (empty) return;
    if (webrtcbin_ == nullptr) {
        spdlog::error("{}: no offer was made yet, ICE candidate dropped", consumer_id_);
        return;
    }
    g_signal_emit_by_name(webrtcbin_, "add-ice-candidate", mline_index, candidate);
}

gboolean WebRTCGstSession::on_check_ice_state_timer_static(gpointer self) {
    return static_cast<WebRTCGstSession*>(self)->on_check_ice_state_timer();
}

gboolean WebRTCGstSession::on_check_ice_state_timer() {
    if (webrtcbin_ == nullptr) return TRUE;
    int ice_state = 0;
    int peer_state = 0;
    g_object_get(webrtcbin_, "ice-connection-state", &ice_state, "connection-state", &peer_state,
                 nullptr);
    const char* ice_text = ice_connection_state_text(ice_state);
    const char* peer_text = peer_connection_state_text(peer_state);
    if (ice_text == nullptr || peer_text == nullptr) {
        spdlog::critical("Unknown _webrtcbin ice state!\n");
        end_child_process(1);
    }
    spdlog::trace("{}", ice_text);
    spdlog::trace("{}", peer_text);
    return TRUE;
}

}  // namespace kelvra
