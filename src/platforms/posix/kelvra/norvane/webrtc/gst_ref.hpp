#pragma once

// Owners of GLib, GObject and GStreamer references: each releases its reference exactly once,
// on destruction or reset, and moves but never copies.

#include <glib-object.h>
#include <gst/gst.h>

#include <memory>

namespace kelvra::norvane {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GstObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct GstCapsUnref {
    void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
struct GstPromiseUnref {
    void operator()(GstPromise* promise) const { gst_promise_unref(promise); }
};
struct GstStructureFree {
    void operator()(GstStructure* structure) const { gst_structure_free(structure); }
};
struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
struct GMainLoopUnref {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
// A source attached to a context is removed from it before its reference is dropped, so its
// callback can never run once the owner is gone.
struct GSourceDestroy {
    void operator()(GSource* source) const {
        g_source_destroy(source);
        g_source_unref(source);
    }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
template <typename T>
using GstObjectPtr = std::unique_ptr<T, GstObjectUnref>;
using GstCapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;
using GstPromisePtr = std::unique_ptr<GstPromise, GstPromiseUnref>;
using GstStructurePtr = std::unique_ptr<GstStructure, GstStructureFree>;
using GCharPtr = std::unique_ptr<gchar, GFree>;
using GMainLoopPtr = std::unique_ptr<GMainLoop, GMainLoopUnref>;
using GSourcePtr = std::unique_ptr<GSource, GSourceDestroy>;

}  // namespace kelvra::norvane
