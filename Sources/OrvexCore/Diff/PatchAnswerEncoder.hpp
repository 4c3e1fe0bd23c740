#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "OrvexCore/Platform/ProcessOutputObserver.hpp"

namespace OrvexCore {

/// The diff helper's answer to a patch request, encoded while git writes the patch rather
/// than after git has ended: watching the children run on its thread, it escapes each piece of
/// their output into the answer as it arrives, so that little is left to do once git exits.
///
/// It only ever offers an answer for exactly the bytes it watched go by: when the patch the
/// git call finally returns is anything else (sanitised, cut to the size bound, taken from a
/// later git run, not from git at all), or the watched output was not valid UTF-8, it offers
/// nothing and the caller encodes the patch as usual. Not thread-safe.
class PatchAnswerEncoder final : public Platform::OutputObserver {
public:
    /// For a request with `id`. Throws `DiffHelperEncodingError` when `id` cannot be encoded.
    explicit PatchAnswerEncoder(const std::optional<std::string>& id);

    void started() noexcept override;
    void received(std::string_view bytes) noexcept override;

    /// The whole answer line (with its line feed) for `patch` at `path`, byte for byte what
    /// `DiffHelperResponse::encodedLine` writes for it, when `patch` is the output of the last
    /// child watched and that output was encoded as it arrived; otherwise nothing. Moves the
    /// answer out: call it once.
    std::optional<std::string> finish(std::string_view patch, const std::string& path);

private:
    /// Appends `text`, whole UTF-8 sequences, escaped; gives up on text that is not UTF-8.
    void escape(std::string_view text);

    size_t prefixBytes_ = 0;
    /// The answer so far: everything before the patch, then the patch escaped.
    std::string answer_;
    /// The watched output as it came, to compare with the patch finally returned.
    std::string output_;
    /// The start of a multi-byte sequence that the last piece cut short.
    std::string pending_;
    bool usable_ = true;
};

} // namespace OrvexCore
