// Builds with sanitizers: an exception that escaped the shell's code stops
// the process with its message, where a developer sees it.
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/gtk/gtk_guarded.h"

namespace jaunvel::gtk {

void uncaughtInCallback(const char* what) noexcept {
    const std::string message = std::string("jaunvel: exception in a GLib callback: ") + what;
    // Standard error may be silenced; the sanitizer's report goes wherever
    // its log_path option sends it.
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, (message + "\n").data(), message.size() + 1);
    __sanitizer_report_error_summary(message.c_str());
    std::abort();
}

}  // namespace jaunvel::gtk
