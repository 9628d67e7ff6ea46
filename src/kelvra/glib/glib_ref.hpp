#pragma once

// Owners of GLib and GObject handles (and of the libraries built on GObject): each is released
// exactly once, on destruction or reset, and moves but never copies. Header only: its users
// link GLib themselves.

#include <glib-object.h>

#include <memory>

namespace kelvra::glib {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GBytesUnref {
    void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
};
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
struct GMainLoopUnref {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
// A source is taken off its context before its reference is dropped, so that its callback can
// never run once the owner is gone.
struct GSourceDestroy {
    void operator()(GSource* source) const {
        g_source_destroy(source);
        g_source_unref(source);
    }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
using GBytesPtr = std::unique_ptr<GBytes, GBytesUnref>;
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
using GCharPtr = std::unique_ptr<gchar, GFree>;
using GMainLoopPtr = std::unique_ptr<GMainLoop, GMainLoopUnref>;
using GSourcePtr = std::unique_ptr<GSource, GSourceDestroy>;

// Disconnects a signal handler when it goes out of scope, so that a callback never reaches an
// object that has been destroyed while the emitter lives on.
class SignalConnection {
public:
    SignalConnection() = default;
    SignalConnection(gpointer instance, gulong id) : instance_(instance), id_(id) {}
    SignalConnection(SignalConnection&& other) noexcept
        : instance_(other.instance_), id_(other.id_) {
        other.id_ = 0;
    }
    SignalConnection& operator=(SignalConnection&& other) noexcept {
        if (this != &other) {
            reset();
            instance_ = other.instance_;
            id_ = other.id_;
            other.id_ = 0;
        }
        return *this;
    }
    SignalConnection(const SignalConnection&) = delete;
    SignalConnection& operator=(const SignalConnection&) = delete;
    ~SignalConnection() { reset(); }

    void reset() {
        if (id_ != 0 && g_signal_handler_is_connected(instance_, id_)) {
            g_signal_handler_disconnect(instance_, id_);
        }
        id_ = 0;
    }

private:
    gpointer instance_ = nullptr;
    gulong id_ = 0;
};

}  // namespace kelvra::glib
