#include "OrvexServer/ServerPaths.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>

#include "OrvexCore/Persistence/JSONSessionStore.hpp"
#include "OrvexCore/Util/Paths.hpp"

namespace OrvexServer {

namespace {

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

} // namespace

ServerPaths ServerPaths::current() {
    ServerPaths paths;
    std::string runtime = environmentValue("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime.front() == '/') {
        paths.runtimeDir = OrvexCore::Paths::appendingComponent(runtime, "orvex");
    } else {
        std::string temp = environmentValue("TMPDIR");
        if (temp.empty() || temp.front() != '/') {
            temp = "/tmp";
        }
        paths.runtimeDir = OrvexCore::Paths::appendingComponent(
            temp, fmt::format("orvex-{}", static_cast<unsigned long>(::getuid())));
    }
    paths.socketPath = OrvexCore::Paths::appendingComponent(paths.runtimeDir, "server.sock");
    paths.lockPath = OrvexCore::Paths::appendingComponent(paths.runtimeDir, "server.lock");
    paths.stateDir = OrvexCore::JSONSessionStore::defaultURL().parent_path().string();
    paths.logPath = OrvexCore::Paths::appendingComponent(paths.stateDir, "server.log");
    return paths;
}

void ServerPaths::prepareRuntimeDir() const {
    std::string parent = OrvexCore::Paths::deletingLastComponent(runtimeDir);
    std::error_code ignored;
    // Only the XDG parent is created; the temporary folder always exists.
    std::filesystem::create_directories(parent, ignored);
    if (::mkdir(runtimeDir.c_str(), 0700) != 0 && errno != EEXIST) {
        throw std::runtime_error(
            fmt::format("cannot create the folder {}: {}", runtimeDir, std::strerror(errno)));
    }
    struct stat info {};
    if (::lstat(runtimeDir.c_str(), &info) != 0) {
        throw std::runtime_error(
            fmt::format("cannot examine the folder {}: {}", runtimeDir, std::strerror(errno)));
    }
    if (!S_ISDIR(info.st_mode)) {
        throw std::runtime_error(fmt::format("{} is not a folder; refusing to use it", runtimeDir));
    }
    if (info.st_uid != ::getuid()) {
        throw std::runtime_error(
            fmt::format("{} belongs to another user; refusing to use it", runtimeDir));
    }
    if ((info.st_mode & 077) != 0) {
        throw std::runtime_error(
            fmt::format("{} is open to other users (mode {:o}); refusing to use it", runtimeDir,
                        static_cast<unsigned>(info.st_mode & 07777)));
    }
    if (socketPath.size() >= sizeof(sockaddr_un{}.sun_path)) {
        throw std::runtime_error(fmt::format("the socket path {} is too long", socketPath));
    }
}

} // namespace OrvexServer
