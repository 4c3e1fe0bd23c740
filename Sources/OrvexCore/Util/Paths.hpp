#pragma once

#include <string>
#include <string_view>

/// Path helpers. Paths are absolute strings; user input (branch names, file names) is joined
/// through these helpers, never with std::filesystem's operator/, which discards the left side
/// when the right one is absolute.
namespace OrvexCore::Paths {

/// `base` followed by `component` with exactly one "/" between them. A component holding
/// slashes (such as the branch "feature/x") becomes nested folders; leading slashes of the
/// component never make it absolute.
std::string appendingComponent(std::string_view base, std::string_view component);

/// The last component ("/a/b/" gives "b"; "/" gives "/").
std::string lastComponent(std::string_view path);

/// The path without its last component ("/a/b" gives "/a"; "/a" gives "/").
std::string deletingLastComponent(std::string_view path);

/// Makes `path` absolute against the current folder and removes "." and ".." segments and
/// repeated or trailing slashes, without touching the file system.
std::string standardized(std::string_view path);

/// `standardized(path)` with every symbolic link that exists resolved.
std::string resolvingSymlinks(std::string_view path);

/// Replaces a leading "~" or "~/" with the home folder.
std::string expandingTilde(std::string_view path);

/// True when `path` is `folder` itself or lies inside it (compared by whole components).
bool isInside(std::string_view path, std::string_view folder);

/// $HOME, else the password database's entry for this user.
std::string homeDirectory();

/// The folder for application data: $XDG_DATA_HOME, else ~/.local/share.
std::string applicationSupportDirectory();

/// The folder for settings: $XDG_CONFIG_HOME, else ~/.config.
std::string configDirectory();

/// Absolute path of the running executable.
std::string mainExecutablePath();

} // namespace OrvexCore::Paths
