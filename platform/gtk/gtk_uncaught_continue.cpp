// Release builds: the shell keeps running after an exception in one of its
// callbacks; the page has been answered by the code that failed.
#include "platform/gtk/gtk_guarded.h"

namespace jaunvel::gtk {

void uncaughtInCallback(const char*) noexcept {}

}  // namespace jaunvel::gtk
