#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace OrvexCore::Platform {

/// The arguments for "/usr/bin/env" that ask the system to open `path` with the application
/// called `appName`: "open", "-a", the name and the path on macOS; "xdg-open" and the path on
/// Linux, which has no way to name the application and opens the path with its default one.
std::vector<std::string> systemOpenArguments(std::string_view appName, std::string_view path);

} // namespace OrvexCore::Platform
