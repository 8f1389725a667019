// The last component of a path, shared by the core and the backends.
#pragma once

#include <string>
#include <string_view>

namespace jaunvel {

// The file's name: "/a/b.wav" gives "b.wav", "/a/b/" gives "b", "/" gives "/".
inline std::string lastPathComponent(std::string_view path) {
    const auto end = path.find_last_not_of('/');
    if (end == std::string_view::npos) return path.empty() ? std::string() : std::string("/");
    const auto slash = path.find_last_of('/', end);
    const auto start = slash == std::string_view::npos ? 0 : slash + 1;
    return std::string(path.substr(start, end - start + 1));
}

}  // namespace jaunvel
