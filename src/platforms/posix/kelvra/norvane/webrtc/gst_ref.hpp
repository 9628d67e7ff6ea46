#pragma once

// Owners of GStreamer references, next to the GLib ones they are used with: each releases its
// reference exactly once, on destruction or reset, and moves but never copies.

#include <glib-object.h>
#include <gst/gst.h>

#include <memory>

#include "kelvra/glib/glib_ref.hpp"

namespace kelvra::norvane {

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

using glib::GCharPtr;
using glib::GMainLoopPtr;
using glib::GObjectPtr;
using glib::GSourcePtr;
template <typename T>
using GstObjectPtr = std::unique_ptr<T, GstObjectUnref>;
using GstCapsPtr = std::unique_ptr<GstCaps, GstCapsUnref>;
using GstPromisePtr = std::unique_ptr<GstPromise, GstPromiseUnref>;
using GstStructurePtr = std::unique_ptr<GstStructure, GstStructureFree>;

}  // namespace kelvra::norvane
