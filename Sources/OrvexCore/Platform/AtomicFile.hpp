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

/// The absolute path of the file that opening `path` reaches: symbolic links resolved as the
/// kernel resolves them (so "link/.." is the folder above the link's target, not the folder
/// holding the link), a final component that is a link followed, even a dangling one, to the
/// file it names. Readers and writers of one file use this so that they meet. Never throws.
std::string resolvedFilePath(const std::string& path);

/// Replaces the file that `path` reaches (see `resolvedFilePath`: a symbolic link is written
/// through, not replaced) with `bytes` so that a reader, or the file system after a crash or
/// a power cut, sees either the old content or the new one, never a mix: missing parent
/// folders are created with mode 0700, the bytes go to a temporary file in the same folder
/// (named after the target and this process's pid, and locked until it is renamed), which is
/// given `mode`, synced, and renamed over the target; then the folder is synced so the
/// rename itself survives a power cut. When this returns, the new content is on disk. Throws
/// std::system_error on failure; a failure before the rename leaves the old file untouched
/// and removes the temporary file. Blocking; any thread.
void writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0600);

/// Removes the temporary files of `path` whose writer is provably gone: its process no longer
/// exists and nobody holds the file's lock. Files of live writers, in this process or any
/// other, are left alone, so this may run at any time. Errors are ignored: the files are only
/// clutter.
void removeStaleTemporaryFiles(const std::string& path);

/// True when `name` (a bare file name) is a temporary file of `writeFileAtomically` for the
/// target file named `targetName`.
bool isTemporaryFileName(std::string_view name, std::string_view targetName);

} // namespace OrvexCore::Platform
