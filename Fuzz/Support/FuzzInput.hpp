#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace OrvexFuzz {

/// The fuzzer's bytes, read from the front as small control values (split points, sizes) with
/// the rest left as the document under test. Reading past the end gives zeros, so every input
/// is usable and a short one still reaches the code.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : rest_(reinterpret_cast<const char*>(data), size) {}

    std::uint8_t byte() {
        if (rest_.empty()) {
            return 0;
        }
        const auto value = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return value;
    }

    /// Up to `count` bytes from the front.
    std::string_view take(std::size_t count) {
        const auto taken = rest_.substr(0, count);
        rest_.remove_prefix(taken.size());
        return taken;
    }

    /// The bytes up to the first `separator` (which is consumed), or everything left.
    std::string_view takeUntil(char separator) {
        const auto at = rest_.find(separator);
        const auto taken = rest_.substr(0, at);
        rest_.remove_prefix(at == std::string_view::npos ? rest_.size() : at + 1);
        return taken;
    }

    std::string_view rest() const { return rest_; }

private:
    std::string_view rest_;
};

/// The whole input as text.
inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace OrvexFuzz
