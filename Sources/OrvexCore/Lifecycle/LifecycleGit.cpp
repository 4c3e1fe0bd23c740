#include "OrvexCore/Lifecycle/LifecycleGit.hpp"

#include <cctype>
#include <string_view>

#include "OrvexCore/Git/GitError.hpp"

namespace OrvexCore::LifecycleGit {
namespace {

std::vector<std::string> envArguments(const std::string& directory,
                                      const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"git", "-C", directory};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
}

std::string quoted(const std::string& word) {
    bool plain = !word.empty();
    for (char c : word) {
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) ||
                          std::string_view("-_./:=@+,%^").find(c) != std::string_view::npos);
    }
    if (plain) {
        return word;
    }
    std::string out = "'";
    for (char c : word) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

} // namespace

Platform::CapturedOutput attempt(const std::string& directory,
                                 const std::vector<std::string>& arguments) {
    return Platform::runToCompletion("/usr/bin/env", envArguments(directory, arguments));
}

std::string run(const std::string& directory, const std::vector<std::string>& arguments) {
    auto result = attempt(directory, arguments);
    if (result.status != 0) {
        throw GitError(commandLine(directory, arguments), result.status,
                       result.error.empty() ? result.output : result.error);
    }
    return result.output;
}

std::string commandLine(const std::string& directory, const std::vector<std::string>& arguments) {
    std::string line = "git -C " + quoted(directory);
    for (const auto& word : arguments) {
        line += ' ' + quoted(word);
    }
    return line;
}

std::vector<std::string> nulFields(const std::string& output) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start < output.size()) {
        auto end = output.find('\0', start);
        if (end == std::string::npos) {
            end = output.size();
        }
        if (end > start) {
            fields.push_back(output.substr(start, end - start));
        }
        start = end + 1;
    }
    return fields;
}

} // namespace OrvexCore::LifecycleGit
