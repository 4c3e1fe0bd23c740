#pragma once

#include <string>
#include <unordered_set>
#include <vector>

namespace OrvexCore {

/// Makes short readable names of the form adjective-animal ("brave-fox") that avoid a set of
/// names already taken. A plain value; `generate` may be called from any thread.
struct SlugGenerator {
    std::vector<std::string> adjectives;
    std::vector<std::string> animals;

    /// The 16 standard adjectives, "brave" ... "witty".
    static const std::vector<std::string> defaultAdjectives;
    /// The 16 standard animals, "fox" ... "wren".
    static const std::vector<std::string> defaultAnimals;

    /// The generator over the standard lists.
    static SlugGenerator standard();

    /// Draws one adjective and one animal uniformly ("calm" / "fox" for an empty list) and
    /// returns the pair unless `excluding` holds it; then the pair with "-2" ... "-999", the
    /// first one not taken; when all are taken, the pair with "-" and eight random lower-case
    /// hexadecimal digits (not checked against `excluding`). Random draws come from a
    /// per-thread engine seeded by std::random_device.
    std::string generate(const std::unordered_set<std::string>& excluding) const;
};

} // namespace OrvexCore
