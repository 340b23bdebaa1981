#pragma once
// Owning pointers for what GLib hands out: a GObject reference, a g_malloc'd
// string, an error. Header-only, for every layer built on GLib.
#include <glib-object.h>

#include <memory>

namespace platform {

struct GObjectUnref {
  void operator()(gpointer p) const {
    if (p) g_object_unref(p);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeDeleter {
  void operator()(gpointer p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

struct GErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

}  // namespace platform
