// The store document (store.json) on any bytes. Reading must either give a whole state or
// throw DecodingError; it must agree with decoding the same text through a JSON tree; and a
// state read once must survive writing and reading again unchanged, both as text and through
// the store's file.

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "OrvexCore/Models/DecodingError.hpp"
#include "OrvexCore/Models/PersistedState.hpp"
#include "OrvexCore/Persistence/JSONSessionStore.hpp"
#include "Support/FuzzCheck.hpp"
#include "Support/FuzzInput.hpp"
#include "Support/ScratchFolder.hpp"

using namespace OrvexCore;

namespace {

std::optional<PersistedState> decoded(std::string_view text) {
    try {
        return decodePersistedState(text);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

/// The same text read as a JSON tree first and converted afterwards.
std::optional<PersistedState> decodedThroughTree(std::string_view text) {
    const auto tree = nlohmann::json::parse(text, nullptr, /*allow_exceptions*/ false);
    if (tree.is_discarded()) {
        return std::nullopt;
    }
    try {
        return tree.get<PersistedState>();
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = OrvexFuzz::asText(data, size);
    const auto state = decoded(text);
    FUZZ_CHECK(decodedThroughTree(text) == state);
    if (!state) {
        return 0;
    }

    const std::string encoded = encodePersistedState(*state);
    const auto again = decoded(encoded);
    FUZZ_CHECK(again == state);
    FUZZ_CHECK(encodePersistedState(*again) == encoded);
    // What is written grows with what was read, not beyond: records gain at most their
    // defaulted keys.
    FUZZ_CHECK(encoded.size() <= 64 * text.size() + 1024);

    // Through the store's own file: the text as found on disk, then the state saved by it.
    OrvexFuzz::clearScratchFolder();
    const std::string path = OrvexFuzz::scratchFolder() + "/store.json";
    OrvexFuzz::writeBytes(path, text);
    JSONSessionStore store(path);
    FUZZ_CHECK(store.load() == *state);
    store.save(*state);
    store.flush();
    FUZZ_CHECK(OrvexFuzz::readBytes(path) == encoded);
    FUZZ_CHECK(JSONSessionStore(path).load() == *state);
    return 0;
}
