// How the local server is started: executable, arguments and environment.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace jaunvel {

inline constexpr char kServerPort[] = "4177";
inline constexpr char kServerSearchPath[] = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// The bundled runtime when there is one, else the first `node` on the fixed
// search path; the script's absolute path is the only script argument. The
// environment is the shell's own with PORT and PATH replaced.
LaunchDescription serverLaunchDescription(const std::string& scriptPath,
                                          const std::optional<std::string>& nodePath,
                                          Environment environment);

// The deck page request: loopback by name, the server's port, the root path,
// never from a local cache, giving up after 5 s.
URLRequest deckPageRequest();

}  // namespace jaunvel
