#include "OrvexCore/Lifecycle/RepoConfig.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "OrvexCore/Models/DecodingError.hpp"
#include "OrvexCore/Models/JSONDecoding.hpp"
#include "OrvexCore/Util/Paths.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore {
namespace {

constexpr std::uintmax_t maxFileBytes = 1024 * 1024;

/// A non-blank command; blank counts as absent, as a blank command does for sessions.
std::optional<std::string> commandValue(const nlohmann::json& object, const char* key) {
    auto value = JSONDecoding::optionalString(object, key);
    if (value && Text::trimmed(*value).empty()) {
        return std::nullopt;
    }
    return value;
}

void checkPattern(const std::string& pattern, const std::string& key) {
    if (Text::trimmed(pattern).empty()) {
        throw DecodingError(key, "a pattern cannot be blank");
    }
    if (pattern.front() == '/') {
        throw DecodingError(key, "\"" + pattern +
                                     "\" is absolute; patterns are relative to "
                                     "the repository's top");
    }
    for (auto part : Text::split(pattern, '/', false)) {
        if (part == "..") {
            throw DecodingError(key, "\"" + pattern + "\" climbs out of the repository");
        }
    }
}

} // namespace

RepoConfig RepoConfig::decode(std::string_view text) {
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw DecodingError("", std::string("not valid JSON: ") + e.what());
    }
    JSONDecoding::requireObject(document, "the repository's settings");
    RepoConfig config;
    if (const auto* copy = JSONDecoding::optionalMember(document, "copy")) {
        if (!copy->is_array()) {
            JSONDecoding::typeMismatch("copy", "an array of patterns", *copy);
        }
        for (std::size_t i = 0; i < copy->size(); ++i) {
            std::string key = "copy[" + std::to_string(i) + "]";
            std::string pattern = JSONDecoding::stringValue((*copy)[i], key);
            checkPattern(pattern, key);
            config.copy.push_back(std::move(pattern));
        }
    }
    config.setup = commandValue(document, "setup");
    config.command = commandValue(document, "command");
    return config;
}

std::optional<RepoConfig> RepoConfig::load(const std::string& repoPath) {
    std::string file = Paths::appendingComponent(repoPath, fileName);
    std::error_code ec;
    auto status = std::filesystem::status(file, ec);
    if (ec || status.type() == std::filesystem::file_type::not_found) {
        return std::nullopt;
    }
    try {
        if (status.type() != std::filesystem::file_type::regular) {
            throw DecodingError("", "not a regular file");
        }
        if (std::filesystem::file_size(file, ec) > maxFileBytes || ec) {
            throw DecodingError("", "larger than 1 MiB");
        }
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in.good() && !in.eof()) {
            throw DecodingError("", "cannot be read");
        }
        return decode(text.str());
    } catch (const DecodingError& e) {
        throw e.inFile(file);
    }
}

} // namespace OrvexCore
