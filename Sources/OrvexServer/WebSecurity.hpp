#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace OrvexServer::WebSecurity {

/// The name of the cookie that carries the page's token.
inline constexpr std::string_view cookieName = "orvex_token";

/// The Content-Security-Policy of every answer: the page's own files only, no inline script,
/// no remote origin, no framing.
inline constexpr std::string_view contentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; object-src 'none'; base-uri 'none'; frame-ancestors 'none'";

/// A fresh secret of 256 random bits from the kernel (getrandom), as 64 lowercase hex digits.
/// Throws std::system_error when the kernel gives none.
std::string makeToken();

/// Whether two secrets are equal, taking the same time wherever they differ.
bool sameSecret(std::string_view a, std::string_view b);

/// Whether `host` (a Host header) names this server: "127.0.0.1:port", "[::1]:port" or
/// "localhost:port" (any case for the name). Anything else may be a foreign name resolving to
/// the loopback address (DNS rebinding) and is refused.
bool allowedHost(std::string_view host, unsigned short port);

/// The value of the cookie `name` in a Cookie header, if present.
std::optional<std::string> cookie(std::string_view header, std::string_view name);

/// The value of the query parameter `name` in a request target ("/path?a=b&c=d"), not
/// percent-decoded (tokens are hex), if present.
std::optional<std::string> queryParameter(std::string_view target, std::string_view name);

/// The path of a request target: up to the "?" or "#".
std::string_view targetPath(std::string_view target);

} // namespace OrvexServer::WebSecurity
