#include "OrvexCore/Diff/PatchAnswerEncoder.hpp"

#include <algorithm>
#include <cstring>

#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Git/GitCLIService.hpp"
#include "OrvexCore/Util/JSONString.hpp"

namespace OrvexCore {
namespace {

/// Output past the patch size bound is answered with the bound's notice, never with the patch,
/// so encoding it would be wasted (and would double the memory a huge diff takes).
constexpr size_t largestEncodedOutput = GitCLIService::maxPatchBytes;

/// The length of the sequence that the lead byte `lead` (at least 0xC0) starts.
size_t sequenceLength(unsigned char lead) {
    return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

/// How many bytes at the end of `text` begin a multi-byte sequence that `text` cuts short.
size_t unfinishedTail(std::string_view text) {
    for (size_t back = 1; back <= std::min<size_t>(3, text.size()); ++back) {
        const auto c = static_cast<unsigned char>(text[text.size() - back]);
        if ((c & 0xC0) == 0x80) {
            continue; // a continuation byte: its lead is further back
        }
        return c >= 0xC0 && sequenceLength(c) > back ? back : 0;
    }
    return 0;
}

} // namespace

PatchAnswerEncoder::PatchAnswerEncoder(const std::optional<std::string>& id) {
    // The members before "patch", as the response encoder writes them ("error" and "files"
    // are absent from a successful patch answer; the keys are sorted).
    DiffHelperResponse head;
    head.id = id;
    head.ok = true;
    answer_ = head.encodedLine();
    answer_.resize(answer_.size() - 2); // "}\n"
    answer_ += ",\"patch\":\"";
    prefixBytes_ = answer_.size();
}

void PatchAnswerEncoder::started() noexcept {
    answer_.resize(prefixBytes_);
    output_.clear();
    pending_.clear();
    usable_ = true;
}

void PatchAnswerEncoder::received(std::string_view bytes) noexcept {
    if (!usable_) {
        return;
    }
    try {
        if (output_.size() + bytes.size() > largestEncodedOutput) {
            usable_ = false;
            return;
        }
        if (output_.empty()) {
            // Room for any patch that is answered, so that neither buffer is copied to grow
            // while git runs (in the helper the heap keeps these blocks between requests).
            output_.reserve(largestEncodedOutput);
            answer_.reserve(prefixBytes_ + largestEncodedOutput + largestEncodedOutput / 8);
        }
        output_.append(bytes);
        if (!pending_.empty()) {
            const size_t missing =
                sequenceLength(static_cast<unsigned char>(pending_[0])) - pending_.size();
            const size_t taken = std::min(missing, bytes.size());
            pending_.append(bytes.substr(0, taken));
            bytes.remove_prefix(taken);
            if (taken < missing) {
                return;
            }
            escape(pending_);
            pending_.clear();
        }
        const size_t tail = unfinishedTail(bytes);
        escape(bytes.substr(0, bytes.size() - tail));
        pending_.assign(bytes.substr(bytes.size() - tail));
    } catch (...) {
        usable_ = false;
    }
}

void PatchAnswerEncoder::escape(std::string_view text) {
    if (text.empty() || !usable_) {
        return;
    }
    // The escape of a piece is its part of the whole patch's escape, as escapes go character
    // by character and pieces are cut between characters. The encoder writes a piece quoted
    // at the end of the answer: its opening quote goes where the answer's last byte was (put
    // back after), its closing quote is dropped, and nothing is copied twice.
    const char last = answer_.back();
    answer_.pop_back();
    const size_t at = answer_.size();
    if (!JSONString::append(answer_, text, JSONString::Slashes::escaped)) {
        usable_ = false;
        return;
    }
    answer_[at] = last;
    answer_.pop_back();
}

std::optional<std::string> PatchAnswerEncoder::finish(std::string_view patch,
                                                      const std::string& path) {
    if (!usable_ || !pending_.empty() || patch.size() != output_.size() ||
        std::memcmp(patch.data(), output_.data(), patch.size()) != 0) {
        return std::nullopt;
    }
    // The member after "patch", the last one, as the response encoder writes it.
    answer_ += "\",\"path\":";
    if (!JSONString::append(answer_, path, JSONString::Slashes::escaped)) {
        return std::nullopt;
    }
    answer_ += "}\n";
    return std::move(answer_);
}

} // namespace OrvexCore
