#include "OrvexCore/Terminal/TerminalGridArrangementCache.hpp"

namespace OrvexCore {

bool TerminalGridArrangementCache::matches(const Signature& signature, const TerminalLayout& rows,
                                           const std::vector<TerminalRef>& refs) {
    if (signature.rows != rows || signature.refs.size() != refs.size()) {
        return false;
    }
    for (size_t i = 0; i < refs.size(); ++i) {
        const RefKey& key = signature.refs[i];
        const TerminalRef& ref = refs[i];
        if (key.id != ref.id || key.isExited != ref.isExited || key.exitCode != ref.exitCode ||
            key.title != ref.title) {
            return false;
        }
    }
    return true;
}

const TerminalGridArrangement::Arrangement&
TerminalGridArrangementCache::arrangement(const TerminalLayout& rows,
                                          const std::vector<TerminalRef>& refs) {
    // Compared in place rather than by building a new signature first: the common case is a
    // redraw with nothing changed, which then allocates nothing.
    if (signature_ && matches(*signature_, rows, refs)) {
        return cached_;
    }
    Signature fresh{rows, {}};
    fresh.refs.reserve(refs.size());
    for (const auto& ref : refs) {
        fresh.refs.push_back(RefKey{ref.id, ref.isExited, ref.exitCode, ref.title});
    }
    signature_ = std::move(fresh);
    cached_ = TerminalGridArrangement::arrange(rows, refs);
    ++rebuildCount_;
    return cached_;
}

} // namespace OrvexCore
