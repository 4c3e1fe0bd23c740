#include "OrvexCore/Util/Paths.hpp"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace OrvexCore::Paths {
namespace {

std::string_view trimTrailingSlashes(std::string_view s) {
    while (s.size() > 1 && s.back() == '/') {
        s.remove_suffix(1);
    }
    return s;
}

std::string environmentFolder(const char* name) {
    const char* value = std::getenv(name);
    return (value && value[0] == '/') ? std::string(value) : std::string();
}

} // namespace

std::string appendingComponent(std::string_view base, std::string_view component) {
    while (!component.empty() && component.front() == '/') {
        component.remove_prefix(1);
    }
    std::string result(trimTrailingSlashes(base));
    if (component.empty()) {
        return result;
    }
    if (result.empty() || result.back() != '/') {
        result.push_back('/');
    }
    result.append(component);
    return result;
}

std::string lastComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    if (path == "/") {
        return "/";
    }
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string deletingLastComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return "";
    }
    if (slash == 0) {
        return "/";
    }
    return std::string(path.substr(0, slash));
}

std::string standardized(std::string_view path) {
    std::string absolute;
    if (path.empty() || path.front() != '/') {
        std::error_code ec;
        absolute = std::filesystem::current_path(ec).string();
        absolute.push_back('/');
    }
    absolute.append(path);

    std::vector<std::string_view> parts;
    std::string_view rest = absolute;
    while (!rest.empty()) {
        auto slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string result;
    for (auto part : parts) {
        result.push_back('/');
        result.append(part);
    }
    return result.empty() ? "/" : result;
}

std::string resolvingSymlinks(std::string_view path) {
    std::error_code ec;
    auto resolved = std::filesystem::weakly_canonical(standardized(path), ec);
    if (ec) {
        return standardized(path);
    }
    std::string s = resolved.string();
    return std::string(trimTrailingSlashes(s));
}

std::string expandingTilde(std::string_view path) {
    if (path == "~") {
        return homeDirectory();
    }
    if (path.starts_with("~/")) {
        return appendingComponent(homeDirectory(), path.substr(2));
    }
    return std::string(path);
}

bool isInside(std::string_view path, std::string_view folder) {
    folder = trimTrailingSlashes(folder);
    if (!path.starts_with(folder)) {
        return false;
    }
    return path.size() == folder.size() || folder == "/" || path[folder.size()] == '/';
}

std::string homeDirectory() {
    if (auto home = environmentFolder("HOME"); !home.empty()) {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/";
}

std::string applicationSupportDirectory() {
    if (auto data = environmentFolder("XDG_DATA_HOME"); !data.empty()) {
        return data;
    }
    return appendingComponent(homeDirectory(), ".local/share");
}

std::string configDirectory() {
    if (auto config = environmentFolder("XDG_CONFIG_HOME"); !config.empty()) {
        return config;
    }
    return appendingComponent(homeDirectory(), ".config");
}

} // namespace OrvexCore::Paths
