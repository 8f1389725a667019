// No exception may cross a GLib signal: every callback into the shell runs
// through `guarded`. An exception that reaches it is a fault of the shell:
// builds with sanitizers stop there with its message; other builds go on
// running (the shell's own code has already answered any page waiting on the
// failed call). Plain C++, so that tests reach it.
#pragma once

#include <exception>

namespace jaunvel::gtk {

// What happens to an exception that reached `guarded`; one definition per
// kind of build (gtk_uncaught_abort.cpp, gtk_uncaught_continue.cpp).
void uncaughtInCallback(const char* what) noexcept;

template <class F>
void guarded(F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& error) {
        uncaughtInCallback(error.what());
    } catch (...) {
        uncaughtInCallback("an exception that is not a std::exception");
    }
}

}  // namespace jaunvel::gtk
