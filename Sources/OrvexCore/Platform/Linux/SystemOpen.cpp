#include "OrvexCore/Platform/SystemOpen.hpp"

namespace OrvexCore::Platform {

std::vector<std::string> systemOpenArguments(std::string_view /*appName*/, std::string_view path) {
    return {"xdg-open", std::string(path)};
}

} // namespace OrvexCore::Platform
