#include "OrvexCore/Diff/OrvexDiffHelper.hpp"

#include <exception>

#include <fmt/format.h>

#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Git/GitService.hpp"
#include "OrvexCore/Util/Text.hpp"

namespace OrvexCore::OrvexDiffHelper {
namespace {

/// A user reads this text, so it says what git said rather than only that git failed. A
/// rejected name never reached git: its message alone says what was wrong.
std::string describe(const GitError& error) {
    if (error.exitCode == -1) {
        return error.message;
    }
    auto said = Text::trimmed(error.message);
    if (said.empty()) {
        return fmt::format("{} failed with exit status {}", error.command, error.exitCode);
    }
    return fmt::format("{} failed with exit status {}: {}", error.command, error.exitCode, said);
}

/// `ok` false, no id. The text is made valid UTF-8 first (a decoder's message may quote the
/// offending bytes), so that this response can always be encoded.
Reply failure(std::string_view description) noexcept {
    try {
        DiffHelperResponse response;
        response.ok = false;
        response.error = Text::sanitizedUTF8(description.empty() ? "unknown failure" : description);
        return {response.encodedLine(), false};
    } catch (...) {
        return {};
    }
}

std::string describeCurrentException() {
    try {
        throw;
    } catch (const GitError& e) {
        return describe(e);
    } catch (const DiffHelperDecodingError& e) {
        return std::string("invalid request: ") + e.what();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown failure";
    }
}

Reply answer(const DiffHelperRequest& request, GitService& git) {
    DiffHelperResponse response;
    response.id = request.id;
    switch (request.op) {
    case DiffHelperOp::shutdown:
        return {{}, true};
    case DiffHelperOp::list:
        if (!request.worktreePath || !request.base) {
            response.error = "missing worktreePath or base";
            break;
        }
        response.files = git.diff(*request.worktreePath, *request.base);
        response.ok = true;
        break;
    case DiffHelperOp::patch:
        if (!request.worktreePath || !request.base || !request.path) {
            response.error = "missing worktreePath, base, or path";
            break;
        }
        response.patch = git.filePatch(*request.worktreePath, *request.path, *request.base);
        response.path = request.path;
        response.ok = true;
        break;
    }
    return {response.encodedLine(), false};
}

} // namespace

Reply handle(std::string_view line, GitService& git) noexcept {
    try {
        return answer(DiffHelperCoding::decodeRequest(line), git);
    } catch (...) {
        std::string description;
        try {
            description = describeCurrentException();
        } catch (...) {
            description = "unknown failure";
        }
        return failure(description);
    }
}

} // namespace OrvexCore::OrvexDiffHelper
