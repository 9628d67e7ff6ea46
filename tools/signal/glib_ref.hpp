#pragma once

#include "kelvra/glib/glib_ref.hpp"

namespace kelvra::norvane::signal_server {

using glib::GBytesPtr;
using glib::GCharPtr;
using glib::GErrorPtr;
using glib::GMainLoopPtr;
using glib::GObjectPtr;
using glib::GSourcePtr;
using glib::SignalConnection;

}  // namespace kelvra::norvane::signal_server
