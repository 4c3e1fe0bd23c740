#include "OrvexCore/External/ProcessCommandRunner.hpp"

#include <array>
#include <string_view>

#include "OrvexCore/External/CommandError.hpp"
#include "OrvexCore/Platform/Process.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexCore {
namespace {

// The trailing slash belongs to each prefix, so "/usr/binx/tool" is not inside "/usr/bin/".
constexpr std::array<std::string_view, 4> allowedFolders{"/usr/bin/", "/usr/local/bin/",
                                                         "/opt/homebrew/bin/", "/bin/"};

bool isAllowed(std::string_view standardizedPath) {
    for (auto folder : allowedFolders) {
        if (standardizedPath.starts_with(folder)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::int32_t ProcessCommandRunner::run(const std::string& executable,
                                       const std::vector<std::string>& arguments) {
    // The check and the launch use the same standardised path, so "/usr/bin/../../tmp/x"
    // cannot pass the check as one file and run as another.
    const std::string path = Paths::standardized(executable);
    if (!isAllowed(path)) {
        throw CommandError(executable, -1);
    }
    const auto result = Platform::runToCompletion(path, arguments, /*keepOutput*/ false);
    if (result.status != 0) {
        throw CommandError(executable, result.status);
    }
    return 0;
}

} // namespace OrvexCore
