#include "OrvexCore/Util/Paths.hpp"

#include <filesystem>
#include <system_error>

namespace OrvexCore::Paths {

std::string mainExecutablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

} // namespace OrvexCore::Paths
