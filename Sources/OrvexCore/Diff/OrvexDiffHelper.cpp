#include "OrvexCore/Diff/OrvexDiffHelper.hpp"

#include <exception>

#include <fmt/format.h>

#include "OrvexCore/Diff/DiffHelperMessage.hpp"
#include "OrvexCore/Diff/PatchAnswerEncoder.hpp"
#include "OrvexCore/Git/ChangedFileList.hpp"
#include "OrvexCore/Git/GitError.hpp"
#include "OrvexCore/Git/GitService.hpp"
#include "OrvexCore/Platform/ProcessOutputObserver.hpp"
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

// Small enough to add little to the memory a long list takes (its records are about 24 bytes a
// file), large enough that writing costs nothing next to encoding.
constexpr size_t pieceBytes = 4 * 1024;

/// A successful list answer: "files" first (keys are sorted), encoded straight from the
/// compact listing, without a "patch" per file. Once a piece has gone out, a failure can no
/// longer be answered on this line: it ends the helper as a failed write does.
bool writeList(const std::optional<std::string>& id, const ChangedFileList& files,
               const Sink& sink) {
    bool wrote = false;
    try {
        std::string piece;
        piece.reserve(pieceBytes + 512);
        piece += "{\"files\":[";
        for (size_t i = 0; i < files.size(); ++i) {
            if (i > 0) {
                piece += ',';
            }
            auto file = files[i];
            DiffHelperCoding::appendFile(piece, file.path, file.added, file.removed, {},
                                         file.status);
            if (piece.size() >= pieceBytes) {
                wrote = true;
                if (!sink(piece)) {
                    return false;
                }
                piece.clear();
            }
        }
        // The rest is what an ordinary response writes after "files", without its brace.
        DiffHelperResponse rest;
        rest.id = id;
        rest.ok = true;
        piece += "],";
        piece.append(rest.encodedLine(), 1, std::string::npos);
        wrote = true;
        return sink(piece);
    } catch (...) {
        if (wrote) {
            return false;
        }
        throw;
    }
}

Outcome answer(const DiffHelperRequest& request, GitService& git, const Sink& sink) {
    DiffHelperResponse response;
    response.id = request.id;
    switch (request.op) {
    case DiffHelperOp::shutdown:
        return Outcome::endProcess;
    case DiffHelperOp::list:
        if (!request.worktreePath || !request.base) {
            response.error = "missing worktreePath or base";
            break;
        }
        {
            auto files = git.changedFiles(*request.worktreePath, *request.base);
            return writeList(request.id, files, sink) ? Outcome::answered : Outcome::sinkFailed;
        }
    case DiffHelperOp::patch:
        if (!request.worktreePath || !request.base || !request.path) {
            response.error = "missing worktreePath, base, or path";
            break;
        }
        {
            // Encoded as git writes it, so that once git ends only its last piece is left.
            PatchAnswerEncoder encoder(request.id);
            std::string patch;
            {
                Platform::OutputObserver::Scope watching(encoder);
                patch = git.filePatch(*request.worktreePath, *request.path, *request.base);
            }
            if (auto line = encoder.finish(patch, *request.path)) {
                return sink(*line) ? Outcome::answered : Outcome::sinkFailed;
            }
            response.patch = std::move(patch);
        }
        response.path = request.path;
        response.ok = true;
        break;
    }
    return sink(response.encodedLine()) ? Outcome::answered : Outcome::sinkFailed;
}

} // namespace

Outcome handle(std::string_view line, GitService& git, const Sink& sink) noexcept {
    try {
        return answer(DiffHelperCoding::decodeRequest(line), git, sink);
    } catch (...) {
        std::string description;
        try {
            description = describeCurrentException();
        } catch (...) {
            description = "unknown failure";
        }
        auto reply = failure(description);
        if (reply.bytes.empty()) {
            return Outcome::answered;
        }
        try {
            return sink(reply.bytes) ? Outcome::answered : Outcome::sinkFailed;
        } catch (...) {
            return Outcome::sinkFailed;
        }
    }
}

Reply handle(std::string_view line, GitService& git) noexcept {
    Reply reply;
    try {
        auto outcome = handle(line, git, [&](std::string_view bytes) {
            reply.bytes += bytes;
            return true;
        });
        reply.endProcess = outcome == Outcome::endProcess;
    } catch (...) {
        reply = {};
    }
    return reply;
}

} // namespace OrvexCore::OrvexDiffHelper
