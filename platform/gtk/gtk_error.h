// GError at the edge: every GError the backend meets becomes our error value
// here, with its domain and code kept.
#pragma once

#include <glib.h>

#include <string>

#include "platform/platform.h"

namespace jaunvel::gtk {

// The error's domain, code and message; `fallback` describes a missing error
// or one without a message.
PlatformError platformError(const GError* error, const char* fallback);

// A process start that failed, described for the operator with the program's path.
PlatformError launchFailure(const GError* error, const std::string& executable);

}  // namespace jaunvel::gtk
