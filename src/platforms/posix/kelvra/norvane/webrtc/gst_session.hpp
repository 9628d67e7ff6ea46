#pragma once

#include <glib.h>

#include "kelvra/msgs/video/messgen.hpp"

namespace kelvra {

// What a session child's main loop drives: the media session of one viewer.
class GstSession {
public:
    virtual ~GstSession() = default;
    // Called once in the child, on the loop's thread, before any message.
    virtual void start(GMainLoop* loop) = 0;
    // Releases every GStreamer resource; the loop has ended.
    virtual void stop() = 0;
    // One frame from the gateway; the payload is valid only during the call.
    virtual void feed_message(const messgen::MessageInfo& info) = 0;
};

}  // namespace kelvra
