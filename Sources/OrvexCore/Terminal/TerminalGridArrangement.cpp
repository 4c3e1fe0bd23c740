#include "OrvexCore/Terminal/TerminalGridArrangement.hpp"

#include <unordered_map>

namespace OrvexCore::TerminalGridArrangement {

Arrangement arrange(const TerminalLayout& rows, const std::vector<TerminalRef>& refs) {
    std::unordered_map<UUID, const TerminalRef*> byID;
    byID.reserve(refs.size());
    for (const auto& ref : refs) {
        byID.try_emplace(ref.id, &ref);
    }
    Arrangement result;
    result.rowSizes.reserve(rows.size());
    for (const auto& row : rows) {
        for (const auto& id : row) {
            const auto found = byID.find(id);
            if (found != byID.end()) {
                result.ordered.push_back(*found->second);
            }
        }
        result.rowSizes.push_back(static_cast<std::int64_t>(row.size()));
    }
    return result;
}

} // namespace OrvexCore::TerminalGridArrangement
