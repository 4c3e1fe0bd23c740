#pragma once

#include <string_view>

namespace OrvexServer {

/// One file of the web page, built from Web/ at build time and compiled into the program, so
/// the page works offline and installs with the binary.
struct WebAsset {
    std::string_view contentType;
    std::string_view body;
};

/// The page's file at `path` ("/" is the page itself), if there is one.
const WebAsset* findWebAsset(std::string_view path);

} // namespace OrvexServer
