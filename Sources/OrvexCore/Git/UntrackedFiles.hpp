#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// Files of a worktree that git does not track (and does not ignore), shown as new files: the
/// listing counts their lines as `git diff --no-index /dev/null FILE` would add them.
namespace OrvexCore::UntrackedFiles {

/// What a new file adds.
struct Count {
    std::int64_t lines = 0;
    /// As git decides: by the file's "diff" attribute, else a NUL byte among the first 8,000.
    bool binary = false;
};

/// What the "diff" attribute of a path (".gitattributes") makes of its contents, as git
/// decides for tracked files.
enum class DiffRule {
    probe,  ///< nothing said (or a named diff driver): a NUL byte near the start means binary
    binary, ///< unset, as "binary" and "-diff" leave it: binary whatever it holds
    text,   ///< set: text, its lines counted even when it holds NUL bytes
};

/// Counts the file at `path` without holding it in memory: its lines (a last line without a
/// line feed counts), or for a symbolic link its target, which git shows as one line. None
/// for anything else (a folder, a file gone meanwhile, one that cannot be read).
std::optional<Count> count(const std::string& path, DiffRule rule = DiffRule::probe);

/// Appends one numstat record per name in `names` (NUL-ended, relative to `worktreePath`,
/// as `git ls-files --others -z` prints them) to `out`: "LINES\t0\tNAME\0", or "-\t-\tNAME\0"
/// for a binary file. Names that are not files now (a nested repository, a file removed
/// since git listed it) are left out. `diffAttributes` is what
/// `git check-attr -z --stdin diff` answered for `names` ("NAME\0diff\0VALUE\0" each, in the
/// same order); a name it does not answer for is probed.
void appendRecords(std::string& out, const std::string& worktreePath, std::string_view names,
                   std::string_view diffAttributes = {});

} // namespace OrvexCore::UntrackedFiles
