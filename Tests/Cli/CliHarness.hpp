#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvexCore/Platform/Process.hpp"
#include "Support/TempGitRepo.hpp"

namespace OrvexTest {

/// Path of the built binary.
std::string orvexBinary();

/// What one run of the orvex binary left behind.
struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};

/// A throwaway home for the orvex binary: HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and
/// XDG_RUNTIME_DIR point into a temporary folder, so runs never touch the user's own state or
/// server. Each `run` starts the built binary with that environment (no terminal, NO_COLOR
/// set) and waits for it. The first command starts this home's server; the destructor stops it.
class CliHome {
public:
    CliHome();
    ~CliHome();
    CliHome(const CliHome&) = delete;
    CliHome& operator=(const CliHome&) = delete;

    const std::string& home() const { return home_; }
    std::string storePath() const;
    std::string sessionsRoot() const { return home_ + "/.orvex-sessions"; }

    /// Runs `orvex ARGS...` in `cwd` (default: the home folder).
    CliResult run(const std::vector<std::string>& args,
                  const std::optional<std::string>& cwd = std::nullopt) const;
    /// Starts `orvex ARGS...` without waiting (standard output and error on pipes).
    OrvexCore::Platform::ChildProcess start(const std::vector<std::string>& args) const;
    /// Runs it and fails the current test unless the status is 0.
    std::string ok(const std::vector<std::string>& args) const;
    /// Runs it with --json and parses standard output.
    nlohmann::json json(std::vector<std::string> args) const;
    /// The parsed store.json.
    nlohmann::json store() const;
    /// The server's socket and lock file.
    std::string socketPath() const { return home_ + "/run/orvex/server.sock"; }
    std::string lockPath() const { return home_ + "/run/orvex/server.lock"; }
    /// The process id of this home's running server (read from its lock file), or -1.
    int serverPID() const;
    /// Stops this home's server, if one runs, and waits until it has ended.
    void stopServer() const;
    /// The environment every run gets, as NAME=value entries; tests may add to it.
    std::vector<std::string> environment;
    /// The program run; tests may point it at a copy placed elsewhere.
    std::string binary = orvexBinary();

private:
    TempDir dir_;
    std::string home_;
};

/// The session object with this slug in a store document (or one workspace of a listing), or
/// null.
nlohmann::json sessionInStore(const nlohmann::json& store, const std::string& slug);

} // namespace OrvexTest
