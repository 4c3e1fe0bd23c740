#include "Cli/CliHarness.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "OrvexCore/Platform/Process.hpp"
#include "OrvexServer/ServerConnection.hpp"

namespace OrvexTest {

std::string orvexBinary() {
    return std::string(ORVEX_BIN_DIR) + "/orvex";
}

CliHome::CliHome() : home_(dir_ / "home") {
    std::filesystem::create_directories(home_);
    // The user's PATH finds git; everything else the binary reads comes from here.
    const char* path = std::getenv("PATH");
    environment = {
        "HOME=" + home_,
        "XDG_DATA_HOME=" + home_ + "/data",
        "XDG_CONFIG_HOME=" + home_ + "/config",
        "XDG_RUNTIME_DIR=" + home_ + "/run",
        std::string("PATH=") + (path ? path : "/usr/bin:/bin"),
        "NO_COLOR=1",
        "LANG=C.UTF-8",
        "GIT_CONFIG_NOSYSTEM=1",
        "GIT_AUTHOR_NAME=Orvex Test",
        "GIT_AUTHOR_EMAIL=test@orvex.invalid",
        "GIT_COMMITTER_NAME=Orvex Test",
        "GIT_COMMITTER_EMAIL=test@orvex.invalid",
        // Sanitizer reports go to standard error, where a test sees them as a failure.
        "ASAN_OPTIONS=detect_leaks=1",
    };
}

CliHome::~CliHome() {
    stopServer();
}

int CliHome::serverPID() const {
    int fd = ::open(lockPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // The lock is held exactly while the server lives.
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    char buffer[32] = {};
    ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    ::close(fd);
    return held && n > 0 ? std::atoi(buffer) : -1;
}

void CliHome::stopServer() const {
    try {
        auto connection = OrvexServer::ServerConnection::connect(socketPath());
        connection->call("server.stop");
    } catch (const std::exception&) {
        // No server answers; one still holding the lock is stopping (or was killed) anyway.
    }
    int fd = ::open(lockPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // A server that does not end (a fault under test) must not hang the suite: it is
    // killed after a while, and the test fails.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            int pid = serverPID();
            ADD_FAILURE() << "the server " << pid << " did not stop";
            if (pid > 0) {
                ::kill(pid, SIGKILL);
            }
            ::flock(fd, LOCK_EX);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
}

std::string CliHome::storePath() const {
    return home_ + "/data/Orvex/store.json";
}

OrvexCore::Platform::ChildProcess CliHome::start(const std::vector<std::string>& args) const {
    OrvexCore::Platform::SpawnOptions options;
    options.workingDirectory = home_;
    options.environment = environment;
    return OrvexCore::Platform::ChildProcess::spawn(binary, args, options);
}

CliResult CliHome::run(const std::vector<std::string>& args,
                       const std::optional<std::string>& cwd) const {
    // env starts the binary with exactly this home's environment, in the folder asked for.
    std::vector<std::string> command{"-i", "-C", cwd.value_or(home_)};
    command.insert(command.end(), environment.begin(), environment.end());
    command.push_back(binary);
    command.insert(command.end(), args.begin(), args.end());
    auto captured = OrvexCore::Platform::runToCompletion("/usr/bin/env", command);
    return {captured.status, std::move(captured.output), std::move(captured.error)};
}

std::string CliHome::ok(const std::vector<std::string>& args) const {
    auto result = run(args);
    std::string command;
    for (const auto& a : args) {
        command += " " + a;
    }
    EXPECT_EQ(result.status, 0) << "orvex" << command << "\nstdout: " << result.out
                                << "\nstderr: " << result.err;
    return result.out;
}

nlohmann::json CliHome::json(std::vector<std::string> args) const {
    args.push_back("--json");
    auto out = ok(args);
    try {
        return nlohmann::json::parse(out);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not JSON: " << out;
        return nullptr;
    }
}

nlohmann::json CliHome::store() const {
    std::string text = readFile(storePath());
    if (text.empty()) {
        return nullptr;
    }
    return nlohmann::json::parse(text);
}

nlohmann::json sessionInStore(const nlohmann::json& store, const std::string& slug) {
    if (store.is_object() && store.contains("sessions")) {
        for (const auto& s : store["sessions"]) {
            if (s.value("slug", "") == slug) {
                return s;
            }
        }
    }
    return nullptr;
}

} // namespace OrvexTest
