// The diff helper's request lines on any bytes, split into lines as the helper's read loop
// splits its input. Every line but a shutdown must get exactly one answer line, which decodes,
// is written in the canonical form, echoes the request's id when it has one, and carries what
// git answered. Requests and responses that decode must encode and decode back unchanged.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Diff/OrvexDiffHelper.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"
#include "Support/ScriptedGit.hpp"

using namespace OrvexCore;
using OrvexFuzz::ScriptedGit;

namespace {

std::optional<DiffHelperRequest> requestIn(std::string_view line) {
    try {
        return DiffHelperCoding::decodeRequest(line);
    } catch (const DiffHelperDecodingError&) {
        return std::nullopt;
    }
}

std::optional<DiffHelperResponse> responseIn(std::string_view line) {
    try {
        return DiffHelperCoding::decodeResponse(line);
    } catch (const DiffHelperDecodingError&) {
        return std::nullopt;
    }
}

std::string_view withoutLineFeed(std::string_view line) {
    FUZZ_CHECK(line.ends_with('\n'));
    line.remove_suffix(1);
    return line;
}

/// What the answer to a decoded, non-shutdown request must say.
void checkAnswer(const DiffHelperRequest& request, const DiffHelperResponse& response) {
    const bool complete =
        request.worktreePath && request.base && (request.op == DiffHelperOp::list || request.path);
    if (!complete) {
        FUZZ_CHECK(!response.ok && response.id == request.id && response.error);
        return;
    }
    const bool patchNotText =
        request.op == DiffHelperOp::patch && request.path->starts_with("raw:");
    if (request.base->starts_with("!") || patchNotText) {
        FUZZ_CHECK(!response.ok && !response.id && response.error);
        return;
    }
    FUZZ_CHECK(response.ok && response.id == request.id && !response.error);
    if (request.op == DiffHelperOp::list) {
        FUZZ_CHECK(response.files == ScriptedGit::filesFor(*request.worktreePath, *request.base));
        FUZZ_CHECK(!response.patch);
    } else {
        FUZZ_CHECK(response.patch == ScriptedGit::patchFor(*request.path));
        FUZZ_CHECK(response.path == request.path && !response.files);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    OrvexFuzz::FuzzInput input(data, size);
    ScriptedGit git;
    while (!input.rest().empty()) {
        const auto line = input.takeUntil('\n');
        if (line.empty()) {
            continue; // the read loop skips empty lines
        }
        const auto reply = OrvexDiffHelper::handle(line, git);
        const auto request = requestIn(line);
        if (request && request->op == DiffHelperOp::shutdown) {
            FUZZ_CHECK(reply.endProcess && reply.bytes.empty());
            break;
        }
        // Exactly one answer line, whatever the request was.
        FUZZ_CHECK(!reply.endProcess);
        FUZZ_CHECK(std::count(reply.bytes.begin(), reply.bytes.end(), '\n') == 1);
        const auto answer = withoutLineFeed(reply.bytes);
        FUZZ_CHECK(answer.size() <= 20 * line.size() + 1024);
        const auto response = responseIn(answer);
        FUZZ_CHECK(response);
        FUZZ_CHECK(response->encodedLine() == reply.bytes);
        if (request) {
            checkAnswer(*request, *response);
            FUZZ_CHECK(requestIn(withoutLineFeed(request->encodedLine())) == request);
        } else {
            FUZZ_CHECK(!response->ok && !response->id && response->error);
        }

        // The same line read as an answer, as the client reads the helper's output.
        if (const auto asResponse = responseIn(line)) {
            std::optional<std::string> encoded;
            try {
                encoded = asResponse->encodedLine();
            } catch (const DiffHelperEncodingError&) {
                // The decoder may accept text the encoder refuses (bytes that are not UTF-8).
            }
            if (encoded) {
                const auto again = responseIn(withoutLineFeed(*encoded));
                FUZZ_CHECK(again == asResponse);
                FUZZ_CHECK(again->encodedLine() == *encoded);
            }
        }
    }
    return 0;
}
