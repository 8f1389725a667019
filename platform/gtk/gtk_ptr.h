// Owning pointers for GLib and GObject types, so that every reference taken
// at the GTK edge is released exactly once.
#pragma once

#include <glib-object.h>

#include <memory>

namespace jaunvel::gtk {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) g_object_unref(object);
    }
};
template <class T>
using g_object_ptr = std::unique_ptr<T, GObjectUnref>;

// Takes over a reference the caller already owns.
template <class T>
g_object_ptr<T> adopt(T* object) {
    return g_object_ptr<T>(object);
}
// Adds a reference of our own (sinking a floating one).
template <class T>
g_object_ptr<T> retain(T* object) {
    return g_object_ptr<T>(static_cast<T*>(g_object_ref_sink(object)));
}

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using g_str_ptr = std::unique_ptr<gchar, GFree>;

struct GErrorFree {
    void operator()(GError* error) const {
        if (error) g_error_free(error);
    }
};
using g_error_ptr = std::unique_ptr<GError, GErrorFree>;

struct GStrvFree {
    void operator()(gchar** strings) const { g_strfreev(strings); }
};
using g_strv_ptr = std::unique_ptr<gchar*, GStrvFree>;

}  // namespace jaunvel::gtk
