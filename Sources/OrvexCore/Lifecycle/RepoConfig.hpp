#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace OrvexCore {

/// What a repository asks of every new session, read from the file `.orvex.json` at the top of
/// its main checkout:
///
///     { "copy": [".env", "config/*.local"], "setup": "npm ci", "command": "assistant" }
///
/// `copy` lists patterns of ignored files to copy from the main checkout into each new
/// worktree; `setup` is a shell command run in the new worktree; `command` is the default
/// command the session's terminals start with. Every key is optional; unknown keys are ignored
/// so that newer files stay readable.
struct RepoConfig {
    /// The file's name at the repository's top.
    static constexpr std::string_view fileName = ".orvex.json";

    std::vector<std::string> copy;
    std::optional<std::string> setup;
    std::optional<std::string> command;

    /// True when the file asks for nothing.
    bool empty() const { return copy.empty() && !setup && !command; }

    /// Decodes a document. Throws DecodingError naming the key for a value of the wrong type,
    /// a blank pattern or a pattern that climbs out of the repository ("..", absolute).
    static RepoConfig decode(std::string_view text);

    /// The repository's file, or nothing when it has none. Throws DecodingError naming the
    /// file and the key when it cannot be read as such a file (a file larger than 1 MiB,
    /// which no such list needs, is refused before it is parsed).
    static std::optional<RepoConfig> load(const std::string& repoPath);

    friend bool operator==(const RepoConfig&, const RepoConfig&) = default;
};

} // namespace OrvexCore
