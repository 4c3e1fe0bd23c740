#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

/// Durable file replacement for small documents (the session store, the settings file).
namespace OrvexCore::Platform {

/// Creates `directory` and any missing parents. Folders this call creates get exactly
/// `mode` (the umask does not narrow it); folders that already exist are left as they are.
/// Throws std::system_error (naming the folder) on failure, including when a plain file
/// stands where a folder is needed.
void createDirectories(const std::string& directory, mode_t mode = 0700);

/// Replaces the file at `path` with `bytes` so that a reader, or the file system after a
/// crash or a power cut, sees either the old content or the new one, never a mix:
/// missing parent folders are created with mode 0700, the bytes go to a temporary file
/// in the same folder, which is given `mode`, synced, and renamed over `path`; then the
/// folder is synced so the rename itself survives a power cut. When this returns, the new
/// content is on disk. Throws std::system_error on failure; a failure before the rename
/// leaves the old file untouched and removes the temporary file. Blocking; any thread.
void writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0600);

/// Removes temporary files that `writeFileAtomically(path, ...)` left behind in the folder
/// of `path` when its process died between creating and renaming them. Must not run while
/// another writer of the same `path` is active (its pending temporary file would go).
/// Errors are ignored: the files are only clutter.
void removeStaleTemporaryFiles(const std::string& path);

/// True when `name` (a bare file name) is a temporary file of `writeFileAtomically` for the
/// target file named `targetName`.
bool isTemporaryFileName(std::string_view name, std::string_view targetName);

} // namespace OrvexCore::Platform
