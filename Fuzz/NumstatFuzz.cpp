// The reader of `git diff --numstat` output on any bytes. Every entry must come from the
// input, be sorted, carry non-negative counts shared by every entry of its path, and the
// entries written back in git's format must read the same.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "OrvexCore/Git/Numstat.hpp"
#include "OrvexCore/Util/JSONString.hpp"
#include "OrvexCore/Util/Text.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"

using namespace OrvexCore;

namespace {

/// What ends a record of the output: the listing reads git's NUL-separated (-z) format.
constexpr char recordEnd = '\0';

/// The entries as git would print them, one record per file. Kept in one place so that it
/// follows the parser if git's record format for it changes.
std::string printed(const std::vector<FileDiff>& files) {
    std::string output;
    for (const auto& file : files) {
        output += std::to_string(file.added) + "\t" + std::to_string(file.removed) + "\t" +
                  file.path + recordEnd;
    }
    return output;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto output = OrvexFuzz::asText(data, size);
    const auto files = Numstat::parse(output, recordEnd);
    // Names that are not UTF-8 are listed with replacement characters, as the protocol carries
    // them.
    const std::string text =
        JSONString::isValidUTF8(output) ? std::string(output) : Text::sanitizedUTF8(output);

    std::size_t pathBytes = 0;
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> countsByPath;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& file = files[i];
        FUZZ_CHECK(!file.path.empty());
        FUZZ_CHECK(file.path.find(recordEnd) == std::string::npos);
        FUZZ_CHECK(text.find(file.path) != std::string::npos);
        FUZZ_CHECK(file.added >= 0 && file.removed >= 0);
        FUZZ_CHECK(file.patch.empty());
        FUZZ_CHECK(i == 0 || files[i - 1].path <= file.path);
        auto [at, inserted] =
            countsByPath.emplace(file.path, std::make_pair(file.added, file.removed));
        FUZZ_CHECK(inserted || at->second == std::make_pair(file.added, file.removed));
        pathBytes += file.path.size();
    }
    // Each entry is one record of the input: no more entries or path bytes than it holds.
    FUZZ_CHECK(pathBytes <= text.size());

    FUZZ_CHECK(Numstat::parse(printed(files), recordEnd) == files);
    return 0;
}
