#include "Support/CommitIn.hpp"

#include "Support/TempGitRepo.hpp"

namespace OrvexTest {

std::string commitIn(const std::string& directory, std::string_view relative,
                     std::string_view contents, std::string_view message) {
    writeFile(directory + "/" + std::string(relative), contents);
    git(directory, {"add", "-A"});
    git(directory, {"commit", "-q", "-m", std::string(message)});
    const std::string head = git(directory, {"rev-parse", "HEAD"});
    return head.substr(0, head.find('\n'));
}

} // namespace OrvexTest
