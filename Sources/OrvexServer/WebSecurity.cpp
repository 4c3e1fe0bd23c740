#include "OrvexServer/WebSecurity.hpp"

#include <array>
#include <cerrno>
#include <system_error>

#include <sys/random.h>

#include "OrvexCore/Util/Text.hpp"

namespace OrvexServer::WebSecurity {

std::string makeToken() {
    std::array<unsigned char, 32> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(n);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    token.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        token.push_back(digits[byte >> 4]);
        token.push_back(digits[byte & 15]);
    }
    return token;
}

bool sameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

bool allowedHost(std::string_view host, unsigned short port) {
    auto colon = host.rfind(':');
    if (colon == std::string_view::npos || host.substr(colon + 1) != std::to_string(port)) {
        return false;
    }
    auto name = host.substr(0, colon);
    return name == "127.0.0.1" || name == "[::1]" ||
           OrvexCore::Text::lowercased(name) == "localhost";
}

std::optional<std::string> cookie(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        auto end = header.find(';');
        auto pair = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view{} : header.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        auto equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            auto value = pair.substr(equals + 1);
            while (!value.empty() && value.back() == ' ') {
                value.remove_suffix(1);
            }
            return std::string(value);
        }
    }
    return std::nullopt;
}

std::string_view targetPath(std::string_view target) {
    return target.substr(0, target.find_first_of("?#"));
}

std::optional<std::string> queryParameter(std::string_view target, std::string_view name) {
    auto question = target.find('?');
    if (question == std::string_view::npos) {
        return std::nullopt;
    }
    auto query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    while (!query.empty()) {
        auto end = query.find('&');
        auto pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view{} : query.substr(end + 1);
        auto equals = pair.find('=');
        if (pair.substr(0, equals) == name) {
            return std::string(equals == std::string_view::npos ? std::string_view{}
                                                                : pair.substr(equals + 1));
        }
    }
    return std::nullopt;
}

} // namespace OrvexServer::WebSecurity
