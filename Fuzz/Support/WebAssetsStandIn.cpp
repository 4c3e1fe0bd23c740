// The page's files in the fuzz builds: small stand-ins for the built page (see
// Fuzz/CMakeLists.txt), one per kind of file the listener serves.
#include "OrvexServer/WebAssets.hpp"

#include <map>

namespace OrvexServer {

const WebAsset* findWebAsset(std::string_view path) {
    static const std::map<std::string_view, WebAsset> assets{
        {"/", {"text/html; charset=utf-8", "<!doctype html><title>page</title>\n"}},
        {"/app.js", {"text/javascript; charset=utf-8", "export const page = 1;\n"}},
        {"/app.css", {"text/css; charset=utf-8", "body { margin: 0 }\n"}},
    };
    const auto found = assets.find(path);
    return found == assets.end() ? nullptr : &found->second;
}

} // namespace OrvexServer
