#include "OrvexCore/Diff/DiffReview.hpp"

#include <cstdint>

namespace OrvexCore::DiffReview {

std::string fingerprint(std::string_view patch) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char byte : patch) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    }
    // Rendered by hand into a fixed buffer: the only allocation is the returned string.
    static constexpr char digits[] = "0123456789abcdef";
    char buffer[16];
    int start = 16;
    do {
        buffer[--start] = digits[hash & 0xF];
        hash >>= 4;
    } while (hash != 0);
    return std::string(buffer + start, buffer + 16);
}

void toggle(const std::string& path, std::string_view patch, ReviewMap& reviewed) {
    std::string current = fingerprint(patch);
    auto entry = reviewed.find(path);
    if (entry != reviewed.end() && entry->second == current) {
        reviewed.erase(entry);
    } else {
        reviewed.insert_or_assign(path, std::move(current));
    }
}

bool isReviewed(const std::string& path, std::string_view patch, const ReviewMap& reviewed) {
    if (reviewed.empty()) {
        return false;
    }
    auto entry = reviewed.find(path);
    return entry != reviewed.end() && entry->second == fingerprint(patch);
}

ReviewMap prune(const ReviewMap& reviewed, const std::set<std::string>& keepingPaths) {
    ReviewMap kept;
    for (const auto& [path, mark] : reviewed) {
        if (keepingPaths.contains(path)) {
            kept.emplace_hint(kept.end(), path, mark);
        }
    }
    return kept;
}

} // namespace OrvexCore::DiffReview
