#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace OrvexFuzz {

/// A folder of the fuzz process's own under the temporary folder ($TMPDIR), made on first use
/// and removed when the process ends normally. Targets that read documents from files write
/// each input there.
inline const std::string& scratchFolder() {
    struct Folder {
        std::string path;
        Folder() {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "orvex-fuzz-XXXXXX").string();
            if (!::mkdtemp(pattern.data())) {
                throw std::runtime_error("cannot make a scratch folder");
            }
            path = std::filesystem::canonical(pattern).string();
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder;
    return folder.path;
}

/// Replaces the file at `path` with exactly `bytes`.
inline void writeBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

/// The whole content of the file at `path`.
inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Empties the scratch folder, so each input starts from the same files.
inline void clearScratchFolder() {
    for (const auto& entry : std::filesystem::directory_iterator(scratchFolder())) {
        std::filesystem::remove_all(entry.path());
    }
}

} // namespace OrvexFuzz
