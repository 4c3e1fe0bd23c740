#include "OrvexCore/Git/UntrackedFiles.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OrvexCore/Platform/FileDescriptor.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::UntrackedFiles {
namespace {

// git looks for a NUL byte this far into a file to call it binary.
constexpr std::size_t binaryProbeBytes = 8000;

/// Reads `git check-attr -z` answers ("NAME\0ATTRIBUTE\0VALUE\0") one at a time.
class AttributeAnswers {
public:
    explicit AttributeAnswers(std::string_view answers) : rest_(answers) {}

    /// The rule of the next answer if it is about `name`; answers come in the order of the
    /// names asked about, so one that is about another name is left for that name.
    DiffRule ruleFor(std::string_view name) {
        std::string_view copy = rest_;
        auto path = field(copy);
        field(copy); // the attribute: "diff", the only one asked about
        auto value = field(copy);
        if (!path || !value || *path != name) {
            return DiffRule::probe;
        }
        rest_ = copy;
        if (*value == "unset") {
            return DiffRule::binary;
        }
        return *value == "set" ? DiffRule::text : DiffRule::probe;
    }

private:
    static std::optional<std::string_view> field(std::string_view& from) {
        auto end = from.find('\0');
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        auto value = from.substr(0, end);
        from.remove_prefix(end + 1);
        return value;
    }

    std::string_view rest_;
};

} // namespace

std::optional<Count> count(const std::string& path, DiffRule rule) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    if (!S_ISLNK(info.st_mode) && !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    if (rule == DiffRule::binary) {
        return Count{0, true};
    }
    if (S_ISLNK(info.st_mode)) {
        return Count{1, false};
    }
    // O_NOFOLLOW: a file swapped for a link since the lstat is not read through the link.
    Platform::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (file.get() < 0) {
        return std::nullopt;
    }
    Count result;
    std::array<char, 64 * 1024> buffer{};
    std::size_t seen = 0;
    char last = '\n';
    for (;;) {
        auto n = ::read(file.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        auto size = static_cast<std::size_t>(n);
        if (rule == DiffRule::probe && seen < binaryProbeBytes) {
            auto probe = std::min(size, binaryProbeBytes - seen);
            if (std::find(buffer.data(), buffer.data() + probe, '\0') != buffer.data() + probe) {
                // git counts no lines of a binary file: neither need we.
                return Count{0, true};
            }
        }
        result.lines += std::count(buffer.data(), buffer.data() + size, '\n');
        last = buffer[size - 1];
        seen += size;
    }
    if (last != '\n') {
        ++result.lines;
    }
    return result;
}

void appendRecords(std::string& out, const std::string& worktreePath, std::string_view names,
                   std::string_view diffAttributes) {
    AttributeAnswers attributes(diffAttributes);
    for (auto name : Text::split(names, '\0', false)) {
        const DiffRule rule = attributes.ruleFor(name);
        if (name.back() == '/') {
            continue; // a repository of its own inside the worktree
        }
        auto counted = count(worktreePath + "/" + std::string(name), rule);
        if (!counted) {
            continue;
        }
        if (counted->binary) {
            out += "-\t-\t";
        } else {
            out += std::to_string(counted->lines);
            out += "\t0\t";
        }
        out += name;
        out += '\0';
    }
}

} // namespace OrvexCore::UntrackedFiles
