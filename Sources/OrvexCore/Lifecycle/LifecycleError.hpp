#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace OrvexCore {

/// A session lifecycle step that did not happen, with a sentence for the user.
/// `refused`: it would lose or clobber work (a dirty checkout, unmerged commits), nothing was
/// changed; `conflict`: git stopped on conflicts in `files`, the operation was aborted and
/// everything is as it was; `impossible`: what was asked cannot be done here (no remote, no
/// checkout of the base branch), nothing was changed.
struct LifecycleError : std::runtime_error {
    enum class Kind { refused, conflict, impossible };
    Kind kind;
    std::vector<std::string> files;

    LifecycleError(Kind kind, const std::string& message, std::vector<std::string> files = {})
        : std::runtime_error(message), kind(kind), files(std::move(files)) {}
};

} // namespace OrvexCore
